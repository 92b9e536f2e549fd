"""The question-answering graph: state graph, node classes, prompt texts and database wrapper.

Nothing is imported here, so that ``import quorlix.querymesh.querymesh_prompts`` does not pull
in LangGraph, LangChain or the compiled node module.
"""
