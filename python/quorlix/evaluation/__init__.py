"""Execution accuracy of the graph over a question set (the ``quorlix eval`` command).

``formats.load_question_set`` reads our JSON Lines, Spider and BIRD sets; ``runner.Evaluator``
scores one question (graph run, gold and predicted queries, comparison by ``compare``);
``runner.evaluate`` spreads questions over threads; ``results_file`` keeps a resumable record;
``report`` sums it up.
"""
