"""What running the analysis program in the sandbox costs, next to running it in-process.

The subject is `PandasExecutor.invoke` with `QUORLIX_ANALYSIS_SANDBOX=auto` (a worker forked
from the warm parent, confined, running the program); the baseline is the same node with
`QUORLIX_ANALYSIS_SANDBOX=off` (the program runs in this interpreter), measured in the same run.
The program builds a 1,000-row DataFrame, groups it, prints the result and saves a bar chart.
Runs alternate between the two modes so that load from elsewhere falls on both alike. The warm
parent is started (and one run made in each mode) before timing: its start-up is paid once per
process and can overlap other start-up work (`quorlix._sandbox.prestart()`).

Run from the repository root with the development build staged:

    PYTHONPATH=build/dev/stage python benchmarks/bench_analysis_sandbox.py [--quick] [--runs N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path

PROGRAM = """\
import numpy as np
import pandas as pd
import matplotlib.pyplot as plt

rng = np.random.default_rng(7)
frame = pd.DataFrame({{
    "city": rng.choice(["Dublin", "Cork", "Galway", "Limerick"], 1000),
    "amount": rng.integers(1, 500, 1000),
}})
totals = frame.groupby("city")["amount"].agg(["count", "sum", "mean"])
print(totals)
totals["sum"].plot(kind="bar")
plt.savefig({path!r})
plt.close("all")
"""


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(fraction * (len(ordered) - 1)))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=60, help="timed runs per mode")
    parser.add_argument("--quick", action="store_true", help="a few runs only (smoke test)")
    arguments = parser.parse_args()
    runs = 4 if arguments.quick else arguments.runs

    from quorlix import _sandbox
    from quorlix.querymesh import nodewright

    executor = nodewright.PandasExecutor(model=None)
    started = time.perf_counter()
    _sandbox.prestart()
    with tempfile.TemporaryDirectory() as folder:
        chart = str(Path(folder) / "chart.png")
        state = {"pandas_code": PROGRAM.format(path=chart), "save_path": chart}
        times: dict[str, list[float]] = {"off": [], "auto": []}
        for mode in ("off", "auto"):  # warm-up: first imports, first fork
            os.environ["QUORLIX_ANALYSIS_SANDBOX"] = mode
            update = executor.invoke(state)
            assert update["python_execution_success"], update
        warm = time.perf_counter() - started
        for _ in range(runs):
            for mode in ("off", "auto"):
                os.environ["QUORLIX_ANALYSIS_SANDBOX"] = mode
                begin = time.perf_counter()
                update = executor.invoke(state)
                times[mode].append((time.perf_counter() - begin) * 1000)
                assert update["python_execution_success"], update

    print(f"warm parent start and first runs: {warm:.2f} s; {runs} runs per mode")
    print(f"{'figure':<8}{'in-process ms':>15}{'sandboxed ms':>15}{'ratio':>8}{'extra ms':>10}")
    for name, fraction in (("p50", 0.5), ("p90", 0.9)):
        base = percentile(times["off"], fraction)
        boxed = percentile(times["auto"], fraction)
        print(f"{name:<8}{base:>15.1f}{boxed:>15.1f}{boxed / base:>8.2f}{boxed - base:>10.1f}")
    print(
        f"{'mean':<8}{statistics.fmean(times['off']):>15.1f}{statistics.fmean(times['auto']):>15.1f}"
    )


if __name__ == "__main__":
    main()
