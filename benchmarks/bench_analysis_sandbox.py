"""What running the analysis program in the sandbox costs, next to running it in-process.

The subject is `PandasExecutor.invoke` with `QUORLIX_ANALYSIS_SANDBOX=auto` (a worker prepared by
the warm parent, confined, running the program); the baseline is the same node with
`QUORLIX_ANALYSIS_SANDBOX=off` (the program runs in this interpreter), measured in the same run.
Two programs: "analysis" builds a 1,000-row DataFrame, groups it, prints the result and saves a
bar chart; "trivial" is `print(6 * 7)`, where the sandbox's own cost is all there is. Runs
alternate between the two modes so that load from elsewhere falls on both alike, with a pause
after each pair (`--pause`, 50 ms): in a graph run model calls come between analysis runs, and the
parent prepares the next worker meanwhile. The warm parent is started (and one run made in each
mode) before timing: its start-up is paid once per process and can overlap other start-up work
(`quorlix._sandbox.prestart()`). The machine's load average is printed before and after.

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

ANALYSIS = """\
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
TRIVIAL = "print(6 * 7)"
MODES = ("off", "auto")


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(fraction * (len(ordered) - 1)))]


def measure(executor, state: dict, runs: int, pause: float) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {mode: [] for mode in MODES}
    for mode in MODES:  # warm-up: first imports, first worker
        os.environ["QUORLIX_ANALYSIS_SANDBOX"] = mode
        update = executor.invoke(state)
        assert update["python_execution_success"], update
    for _ in range(runs):
        for mode in MODES:
            os.environ["QUORLIX_ANALYSIS_SANDBOX"] = mode
            begin = time.perf_counter()
            update = executor.invoke(state)
            times[mode].append((time.perf_counter() - begin) * 1000)
            assert update["python_execution_success"], update
        time.sleep(pause)
    return times


def report(name: str, times: dict[str, list[float]]) -> None:
    print(f"\n{name}")
    print(f"{'figure':<8}{'in-process ms':>15}{'sandboxed ms':>15}{'ratio':>8}{'extra ms':>10}")
    for figure, fraction in (("p50", 0.5), ("p90", 0.9)):
        base = percentile(times["off"], fraction)
        boxed = percentile(times["auto"], fraction)
        print(f"{figure:<8}{base:>15.2f}{boxed:>15.2f}{boxed / base:>8.2f}{boxed - base:>10.2f}")
    base, boxed = statistics.fmean(times["off"]), statistics.fmean(times["auto"])
    print(f"{'mean':<8}{base:>15.2f}{boxed:>15.2f}")


def load() -> str:
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=60, help="timed runs per mode and program")
    parser.add_argument("--pause", type=float, default=0.05, help="seconds between pairs of runs")
    parser.add_argument("--quick", action="store_true", help="a few runs only (smoke test)")
    arguments = parser.parse_args()
    runs = 4 if arguments.quick else arguments.runs

    from quorlix import _sandbox
    from quorlix.querymesh import nodewright

    print(f"load average before: {load()}")
    executor = nodewright.PandasExecutor(model=None)
    started = time.perf_counter()
    _sandbox.prestart()
    with tempfile.TemporaryDirectory() as folder:
        chart = str(Path(folder) / "chart.png")
        analysis = {"pandas_code": ANALYSIS.format(path=chart), "save_path": chart}
        trivial = {"pandas_code": TRIVIAL, "save_path": chart}
        results = {
            "analysis": measure(executor, analysis, runs, arguments.pause),
            "trivial": measure(executor, trivial, runs, arguments.pause),
        }
    elapsed = time.perf_counter() - started
    print(f"{runs} runs per mode and program, {arguments.pause * 1000:.0f} ms between pairs")
    for name, times in results.items():
        report(name, times)
    print(f"\nload average after: {load()}; {elapsed:.1f} s in all")


if __name__ == "__main__":
    main()
