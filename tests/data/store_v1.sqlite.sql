PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE quorlix_store (
	"key" VARCHAR(64) NOT NULL, 
	value VARCHAR(200) NOT NULL, 
	PRIMARY KEY ("key")
);
INSERT INTO quorlix_store VALUES('schema_version','1');
CREATE TABLE quorlix_runs (
	number INTEGER NOT NULL, 
	id VARCHAR(32) NOT NULL, 
	owner VARCHAR(200) NOT NULL, 
	question TEXT NOT NULL, 
	status VARCHAR(16) NOT NULL, 
	server_id VARCHAR(100), 
	created_at FLOAT NOT NULL, 
	started_at FLOAT, 
	finished_at FLOAT, 
	options JSON NOT NULL, 
	record JSON NOT NULL, 
	feedback JSON, 
	extras JSON NOT NULL, 
	PRIMARY KEY (number), 
	UNIQUE (id)
);
INSERT INTO quorlix_runs VALUES(1,'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa','alice','How many customers per city?','succeeded','host-1-1',1796805203.8772656916,1796805203.8779599666,1796805203.908485651,'{"analysis_tries": 3, "chart": true}','{"steps": [{"number": 1, "node": "init_node", "started_at": "2026-12-09T08:00:00.000+00:00", "duration_s": 0.01, "summary": ""}], "sql_attempts": [], "final_sql": "SELECT city, COUNT(*) AS n FROM customers GROUP BY city", "result": {"columns": ["city", "n"], "rows": [["Berlin", 1], ["Dublin", 2]], "truncated": false}, "analysis_output": null, "answer": "Dublin has the most customers.", "chart": true, "error": null}','{"rating": "up"}','{}');
INSERT INTO quorlix_runs VALUES(2,'bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb','bob','Revenue by month?','failed',NULL,1796805203.9143826961,NULL,1796805203.9145736694,'{"analysis_tries": 1, "chart": false}','{"steps": [], "sql_attempts": [], "final_sql": null, "result": null, "analysis_output": null, "answer": null, "chart": false, "error": "the model service timed out"}',NULL,'{}');
CREATE TABLE quorlix_servers (
	server_id VARCHAR(100) NOT NULL, 
	host VARCHAR(255) NOT NULL, 
	pid INTEGER NOT NULL, 
	started_at FLOAT NOT NULL, 
	renewed_at FLOAT NOT NULL, 
	PRIMARY KEY (server_id)
);
INSERT INTO quorlix_servers VALUES('host-1-1','host',1,1796805203.9148914814,1796805203.9148914814);
CREATE TABLE quorlix_events (
	run_id VARCHAR(32) NOT NULL, 
	seq INTEGER NOT NULL, 
	kind VARCHAR(16) NOT NULL, 
	data JSON NOT NULL, 
	created_at FLOAT NOT NULL, 
	PRIMARY KEY (run_id, seq), 
	FOREIGN KEY(run_id) REFERENCES quorlix_runs (id)
);
INSERT INTO quorlix_events VALUES('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa',1,'step','{"number": 1, "node": "init_node", "started_at": "2026-12-09T08:00:00.000+00:00", "duration_s": 0.01, "summary": ""}',1796805203.9081385136);
INSERT INTO quorlix_events VALUES('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa',2,'end','{"status": "succeeded", "error": null}',1796805203.9097104072);
INSERT INTO quorlix_events VALUES('bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb',1,'end','{"status": "failed", "error": "the model service timed out"}',1796805203.9148037433);
CREATE TABLE quorlix_charts (
	run_id VARCHAR(32) NOT NULL, 
	content_type VARCHAR(64) NOT NULL, 
	data BLOB NOT NULL, 
	PRIMARY KEY (run_id), 
	FOREIGN KEY(run_id) REFERENCES quorlix_runs (id)
);
INSERT INTO quorlix_charts VALUES('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa','image/png',X'89504e470d0a1a0a66616b65');
CREATE INDEX ix_quorlix_runs_status ON quorlix_runs (status);
CREATE INDEX ix_quorlix_runs_owner ON quorlix_runs (owner);
COMMIT;
