"""Retrieval of verified examples: recall on reworded questions, and the prompt size it adds.

The examples are the built-in gold set of the sample shop (each question with its gold SQL).
The questions are ``data/shop_gold_paraphrases.jsonl``: a second wording of every gold
question, written by hand. A question counts as found at k when the example of the question it
rewords is among the k examples retrieved for it.

Methods, in the same run on the same data:

* baseline: BM25 over the example questions' words only;
* ours: BM25 over question words and the names the SQL reads (``quorlix.knowledge``);
* ours + glossary: the same with the hand-written shop glossary ``data/shop_glossary.jsonl``,
  whose synonyms bridge wordings. It was written for this shop by someone who had read the
  paraphrases, so read it as what a glossary can do, not as an unseen test.

Prompt size: the reference section each reworded question gets (three examples and its
glossary terms, at most 4,000 characters), against the SQL generation prompt without
knowledge (system text and the schema of every table of the shop).
"""

from __future__ import annotations

import argparse
import json
import statistics
import time
from pathlib import Path

from quorlix.knowledge.files import parse_lines
from quorlix.knowledge.records import VerifiedExample
from quorlix.knowledge.retrieval import KnowledgeIndex, text_words
from quorlix.knowledge.store import Knowledge

HERE = Path(__file__).resolve().parent
PARAPHRASES = HERE / "data" / "shop_gold_paraphrases.jsonl"
GLOSSARY = HERE / "data" / "shop_glossary.jsonl"
DATABASE = "sample:shop"


def gold_examples() -> list[tuple[str, VerifiedExample]]:
    from quorlix.evaluation.formats import GOLD_SET

    found = []
    for number, line in enumerate(GOLD_SET.read_text(encoding="utf-8").splitlines(), start=1):
        item = json.loads(line)
        example = VerifiedExample(item["question"], item["gold_sql"], DATABASE, id=number)
        found.append((item["id"], example))
    return found


class QuestionWordsOnly:
    """The baseline: BM25 over the words of the example questions."""

    def __init__(self, examples: list[VerifiedExample]) -> None:
        import bm25s

        self.examples = examples
        self.retriever = bm25s.BM25()
        corpus = [text_words(example.question) or [""] for example in examples]
        self.retriever.index(corpus, show_progress=False)

    def rank(self, question: str, k: int) -> list[VerifiedExample]:
        import numpy as np

        vocabulary = self.retriever.vocab_dict
        query = [word for word in dict.fromkeys(text_words(question)) if word in vocabulary]
        if not query:
            return []
        scores = np.asarray(self.retriever.get_scores(query))
        order = np.argsort(-scores, kind="stable")[:k]
        return [self.examples[i] for i in order if scores[i] > 0]


def recall(method, cases: list[tuple[str, int]], k: int) -> float:
    hits = sum(
        1 for question, wanted in cases if wanted in [e.id for e in method.rank(question, k)]
    )
    return hits / len(cases)


def per_question_ms(method, cases: list[tuple[str, int]], repeat: int) -> float:
    started = time.perf_counter()
    for _ in range(repeat):
        for question, _wanted in cases:
            method.rank(question, 3)
    return (time.perf_counter() - started) * 1000 / (repeat * len(cases))


def prompt_without_knowledge() -> int:
    from quorlix.prompts.node_texts import SQL_SYSTEM_MESSAGE, SQL_USER_MESSAGE
    from quorlix.querymesh.custom_sql import CustomSQLDatabase
    from quorlix.sample import default_database_uri

    db = CustomSQLDatabase.from_uri(default_database_uri())
    try:
        schemas = db.get_table_info()
    finally:
        db._engine.dispose()
    system = SQL_SYSTEM_MESSAGE[1].replace("{dialect}", "sqlite")
    user = SQL_USER_MESSAGE[1].format(user_question="", schemas_from_relevant_tables=schemas)
    return len(system) + len(user)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the first 10 questions only")
    parser.add_argument("--repeat", type=int, default=20, help="timing repetitions")
    args = parser.parse_args()

    gold = gold_examples()
    reworded = {
        item["id"]: item["question"]
        for item in map(json.loads, PARAPHRASES.read_text(encoding="utf-8").splitlines())
    }
    if set(reworded) != {ident for ident, _ in gold}:
        raise SystemExit("the paraphrase set must reword every gold question exactly once")
    examples = [example for _, example in gold]
    cases = [(reworded[ident], example.id) for ident, example in gold]
    if args.quick:
        cases = cases[:10]
    glossary = tuple(parse_lines(GLOSSARY.read_text(encoding="utf-8"), DATABASE).glossary)

    methods = {
        "baseline: question words": QuestionWordsOnly(examples),
        "ours: words + SQL names": KnowledgeIndex(Knowledge(examples=tuple(examples))),
        "ours + shop glossary": KnowledgeIndex(Knowledge(tuple(examples), glossary)),
    }
    base_ms = per_question_ms(methods["baseline: question words"], cases, args.repeat)
    print(f"{len(cases)} reworded questions, {len(examples)} examples")
    print(f"{'method':<28} {'recall@1':>9} {'recall@3':>9} {'ms/question':>12} {'x baseline':>11}")
    for name, method in methods.items():
        ms = per_question_ms(method, cases, args.repeat)
        print(
            f"{name:<28} {recall(method, cases, 1):>9.3f} {recall(method, cases, 3):>9.3f} "
            f"{ms:>12.3f} {ms / base_ms:>11.2f}"
        )

    full = methods["ours + shop glossary"]
    sizes = [len(full.retrieve(question).section) for question, _ in cases]
    without = prompt_without_knowledge()
    print()
    print(f"{'prompt size (characters)':<28} {'mean':>9} {'median':>9} {'max':>9}")
    print(
        f"{'section added':<28} {statistics.mean(sizes):>9.0f} {statistics.median(sizes):>9.0f} "
        f"{max(sizes):>9}"
    )
    print(f"{'SQL prompt without knowledge':<28} {without:>9}")
    mean_ratio, max_ratio = statistics.mean(sizes) / without, max(sizes) / without
    print(f"{'added / without':<28} {mean_ratio:>9.2f} {'':>9} {max_ratio:>9.2f}")


if __name__ == "__main__":
    main()
