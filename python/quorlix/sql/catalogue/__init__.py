"""What the chat model is told about the database, read when first needed and kept bounded.

``table_list`` lists the tables on first use and caches them; ``table_info`` reflects and
renders one table at a time; ``schema_text`` keeps that text within its budget; ``scan`` reads
a whole schema's names at once for ranking tables.
"""
