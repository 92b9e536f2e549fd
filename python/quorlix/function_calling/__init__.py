"""Outside helpers that the graph calls as nodes, such as the relevant-table picker."""
