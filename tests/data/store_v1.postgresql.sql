--
-- PostgreSQL database dump
--


-- Dumped from database version 15.20 (Debian 15.20-0+deb12u1)
-- Dumped by pg_dump version 15.20 (Debian 15.20-0+deb12u1)

SET statement_timeout = 0;
SET lock_timeout = 0;
SET idle_in_transaction_session_timeout = 0;
SET client_encoding = 'UTF8';
SET standard_conforming_strings = on;
SELECT pg_catalog.set_config('search_path', '', false);
SET check_function_bodies = false;
SET xmloption = content;
SET client_min_messages = warning;
SET row_security = off;

SET default_tablespace = '';

SET default_table_access_method = heap;

--
-- Name: quorlix_charts; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.quorlix_charts (
    run_id character varying(32) NOT NULL,
    content_type character varying(64) NOT NULL,
    data bytea NOT NULL
);


--
-- Name: quorlix_events; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.quorlix_events (
    run_id character varying(32) NOT NULL,
    seq integer NOT NULL,
    kind character varying(16) NOT NULL,
    data json NOT NULL,
    created_at double precision NOT NULL
);


--
-- Name: quorlix_runs; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.quorlix_runs (
    number integer NOT NULL,
    id character varying(32) NOT NULL,
    owner character varying(200) NOT NULL,
    question text NOT NULL,
    status character varying(16) NOT NULL,
    server_id character varying(100),
    created_at double precision NOT NULL,
    started_at double precision,
    finished_at double precision,
    options json NOT NULL,
    record json NOT NULL,
    feedback json,
    extras json NOT NULL
);


--
-- Name: quorlix_runs_number_seq; Type: SEQUENCE; Schema: public; Owner: -
--

CREATE SEQUENCE public.quorlix_runs_number_seq
    AS integer
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1;


--
-- Name: quorlix_runs_number_seq; Type: SEQUENCE OWNED BY; Schema: public; Owner: -
--

ALTER SEQUENCE public.quorlix_runs_number_seq OWNED BY public.quorlix_runs.number;


--
-- Name: quorlix_servers; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.quorlix_servers (
    server_id character varying(100) NOT NULL,
    host character varying(255) NOT NULL,
    pid integer NOT NULL,
    started_at double precision NOT NULL,
    renewed_at double precision NOT NULL
);


--
-- Name: quorlix_store; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.quorlix_store (
    key character varying(64) NOT NULL,
    value character varying(200) NOT NULL
);


--
-- Name: quorlix_runs number; Type: DEFAULT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_runs ALTER COLUMN number SET DEFAULT nextval('public.quorlix_runs_number_seq'::regclass);


--
-- Data for Name: quorlix_charts; Type: TABLE DATA; Schema: public; Owner: -
--

INSERT INTO public.quorlix_charts VALUES ('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa', 'image/png', '\x89504e470d0a1a0a66616b65');


--
-- Data for Name: quorlix_events; Type: TABLE DATA; Schema: public; Owner: -
--

INSERT INTO public.quorlix_events VALUES ('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa', 1, 'step', '{"number": 1, "node": "init_node", "started_at": "2026-12-09T08:00:00.000+00:00", "duration_s": 0.01, "summary": ""}', 1796805210.830333);
INSERT INTO public.quorlix_events VALUES ('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa', 2, 'end', '{"status": "succeeded", "error": null}', 1796805210.839037);
INSERT INTO public.quorlix_events VALUES ('bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb', 1, 'end', '{"status": "failed", "error": "the model service timed out"}', 1796805210.8463864);


--
-- Data for Name: quorlix_runs; Type: TABLE DATA; Schema: public; Owner: -
--

INSERT INTO public.quorlix_runs VALUES (1, 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa', 'alice', 'How many customers per city?', 'succeeded', 'host-1-1', 1796805210.8241935, 1796805210.827185, 1796805210.8335738, '{"analysis_tries": 3, "chart": true}', '{"steps": [{"number": 1, "node": "init_node", "started_at": "2026-12-09T08:00:00.000+00:00", "duration_s": 0.01, "summary": ""}], "sql_attempts": [], "final_sql": "SELECT city, COUNT(*) AS n FROM customers GROUP BY city", "result": {"columns": ["city", "n"], "rows": [["Berlin", 1], ["Dublin", 2]], "truncated": false}, "analysis_output": null, "answer": "Dublin has the most customers.", "chart": true, "error": null}', '{"rating": "up"}', '{}');
INSERT INTO public.quorlix_runs VALUES (2, 'bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb', 'bob', 'Revenue by month?', 'failed', NULL, 1796805210.842321, NULL, 1796805210.8456247, '{"analysis_tries": 1, "chart": false}', '{"steps": [], "sql_attempts": [], "final_sql": null, "result": null, "analysis_output": null, "answer": null, "chart": false, "error": "the model service timed out"}', NULL, '{}');


--
-- Data for Name: quorlix_servers; Type: TABLE DATA; Schema: public; Owner: -
--

INSERT INTO public.quorlix_servers VALUES ('host-1-1', 'host', 1, 1796805210.8472211, 1796805210.8472211);


--
-- Data for Name: quorlix_store; Type: TABLE DATA; Schema: public; Owner: -
--

INSERT INTO public.quorlix_store VALUES ('schema_version', '1');


--
-- Name: quorlix_runs_number_seq; Type: SEQUENCE SET; Schema: public; Owner: -
--

SELECT pg_catalog.setval('public.quorlix_runs_number_seq', 2, true);


--
-- Name: quorlix_charts quorlix_charts_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_charts
    ADD CONSTRAINT quorlix_charts_pkey PRIMARY KEY (run_id);


--
-- Name: quorlix_events quorlix_events_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_events
    ADD CONSTRAINT quorlix_events_pkey PRIMARY KEY (run_id, seq);


--
-- Name: quorlix_runs quorlix_runs_id_key; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_runs
    ADD CONSTRAINT quorlix_runs_id_key UNIQUE (id);


--
-- Name: quorlix_runs quorlix_runs_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_runs
    ADD CONSTRAINT quorlix_runs_pkey PRIMARY KEY (number);


--
-- Name: quorlix_servers quorlix_servers_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_servers
    ADD CONSTRAINT quorlix_servers_pkey PRIMARY KEY (server_id);


--
-- Name: quorlix_store quorlix_store_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_store
    ADD CONSTRAINT quorlix_store_pkey PRIMARY KEY (key);


--
-- Name: ix_quorlix_runs_owner; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX ix_quorlix_runs_owner ON public.quorlix_runs USING btree (owner);


--
-- Name: ix_quorlix_runs_status; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX ix_quorlix_runs_status ON public.quorlix_runs USING btree (status);


--
-- Name: quorlix_charts quorlix_charts_run_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_charts
    ADD CONSTRAINT quorlix_charts_run_id_fkey FOREIGN KEY (run_id) REFERENCES public.quorlix_runs(id);


--
-- Name: quorlix_events quorlix_events_run_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.quorlix_events
    ADD CONSTRAINT quorlix_events_run_id_fkey FOREIGN KEY (run_id) REFERENCES public.quorlix_runs(id);


--
-- PostgreSQL database dump complete
--


