"""The whole report command as a user runs it, against ydata-profiling's minimal report.

python -m benchmarks report                          # 200,000 x 20 and 1,000,000 x 50
python -m benchmarks report --sizes 200000x20        # one of them
python -m benchmarks report --rows 20000 --cols 20   # a quicker run

Each size writes a CSV with planted problems (kept in --out for later runs) and runs, in fresh
processes, `python -m kova report FILE --target y` and the same without `--target`, and, where an
interpreter with ydata-profiling is found (this one, or --peer-python), reads the same file with
pandas.read_csv and writes `ProfileReport(df, minimal=True)` to HTML. Repetitions are interleaved
and medians reported: wall time, peak resident memory of the child (its own rusage), the frame's
memory as read, and the ratio ydata time / kova time (above 1: kova is faster). The section times
come from the command's --timings JSON where it has that option. Child thread pools are bounded
to --jobs through the OMP/OpenBLAS/MKL environment variables.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from benchmarks.integrity import SPECIALS, WORDS

DEFAULT_SIZES = ((200_000, 20), (1_000_000, 50))
TARGET = "y"
PLANTED = (
    "id constant missing_half_pct missing_5pct missing_30pct mixed special long_text category "
    "comment x1 x1_copy segment y"
).split()
THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                    "NUMEXPR_NUM_THREADS", "VECLIB_MAXIMUM_THREADS")  # fmt: skip
PEER_SCRIPT = """
import sys
import pandas as pd
from ydata_profiling import ProfileReport
ProfileReport(pd.read_csv(sys.argv[1]), minimal=True, progress_bar=False).to_file(sys.argv[2])
"""


# ---------------------------------------------------------------------------------------------
# The data


def _with_missing(rng: np.random.Generator, values: np.ndarray, share: float) -> np.ndarray:
    values = values.astype(float)
    values[rng.random(len(values)) < share] = np.nan
    return values


def _filler(rng: np.random.Generator, rows: int, k: int) -> tuple[str, np.ndarray]:
    """The k-th ordinary column: numbers, whole numbers and categories in turn."""
    kind = k % 3
    if kind == 0:
        return f"num_{k}", np.round(rng.normal(10 * k, 1 + k, rows), 4)
    if kind == 1:
        return f"int_{k}", rng.integers(0, 100 * (k + 1), rows)
    levels = np.array([f"level_{j}" for j in range(3 + k % 12)], dtype=object)
    return f"cat_{k}", levels[rng.integers(0, len(levels), rows)]


def make_frame(rows: int, cols: int, seed: int = 0) -> pd.DataFrame:
    """A frame of `cols` columns (at least the planted ones) with these planted problems: an
    identifier, a constant, missing values at 0.5 %, 5 % and 30 %, a mixed text/number column,
    special-character-only entries, over-long strings, 1 % duplicated rows, a highly associated
    pair (x1, x1_copy), a categorical and a text column, and a numeric target y that the model
    fits much worse in one segment (segment == "weak")."""
    if cols < len(PLANTED):
        raise ValueError(f"cols must be at least {len(PLANTED)}, got {cols}")
    rng = np.random.default_rng(seed)
    x1 = rng.normal(size=rows)
    category = np.array(["red", "green", "blue", "amber"], dtype=object)[rng.integers(0, 4, rows)]
    segment = np.where(rng.random(rows) < 0.1, "weak", "regular").astype(object)
    mixed = rng.integers(0, 10_000, rows).astype(str).astype(object)
    mixed[rng.random(rows) < 0.05] = WORDS[0]
    special = WORDS[rng.integers(0, len(WORDS), rows)]
    special[rng.random(rows) < 0.02] = SPECIALS[0]
    long_text = WORDS[rng.integers(0, len(WORDS), rows)]
    long_text[rng.random(rows) < 0.001] = "x" * 400
    comment = np.char.add(
        WORDS[rng.integers(0, len(WORDS), rows)].astype(str),
        np.char.add(" #", rng.integers(0, rows, rows).astype(str)),
    ).astype(object)
    noise = np.where(segment == "weak", 5.0, 0.3) * rng.normal(size=rows)
    columns = {
        "id": np.char.add("ID-", np.arange(rows).astype(str)).astype(object),
        "constant": np.full(rows, 7),
        "missing_half_pct": _with_missing(rng, rng.normal(size=rows), 0.005),
        "missing_5pct": _with_missing(rng, rng.integers(0, 50, rows), 0.05),
        "missing_30pct": _with_missing(rng, rng.normal(size=rows), 0.3),
        "mixed": mixed,
        "special": special,
        "long_text": long_text,
        "category": category,
        "comment": comment,
        "x1": np.round(x1, 5),
        "x1_copy": np.round(2 * x1 + 0.01 * rng.normal(size=rows), 5),
        "segment": segment,
    }
    for k in range(cols - len(PLANTED)):
        name, values = _filler(rng, rows, k)
        columns[name] = values
    columns[TARGET] = np.round(3 * x1 + (category == "red") + noise, 4)
    chosen = rng.choice(rows, size=2 * (rows // 100), replace=False)
    take = np.arange(rows)
    take[chosen[1::2]] = chosen[::2]  # 1 % of the rows repeat another row, kept as it is
    return pd.DataFrame(columns).iloc[take].reset_index(drop=True)


def data_file(directory: Path, rows: int, cols: int, seed: int) -> Path:
    """The CSV of this size, written once and reused by later runs."""
    path = directory / f"report-{rows}x{cols}-seed{seed}.csv"
    if not path.exists():
        directory.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        make_frame(rows, cols, seed).to_csv(partial, index=False)
        partial.replace(path)
    return path


# ---------------------------------------------------------------------------------------------
# Fresh processes


@dataclass
class Run:
    seconds: float
    peak_mib: float
    sections: dict[str, float] = field(default_factory=dict)


def child_environment(jobs: int) -> dict[str, str]:
    env = dict(os.environ)
    env.update({name: str(jobs) for name in THREAD_VARIABLES})
    env.setdefault("MPLBACKEND", "Agg")
    return env


def run_child(command: list[str], env: dict[str, str], log: Path) -> Run:
    """Wall time and peak RSS of one fresh process (its own rusage, reaped with wait4)."""
    with open(log, "wb") as errors:
        start = time.perf_counter()
        child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        tail = log.read_text(errors="replace")[-2000:]
        raise RuntimeError(f"{' '.join(command)} failed ({child.returncode}):\n{tail}")
    return Run(seconds, usage.ru_maxrss / 1024)  # ru_maxrss is in KiB on Linux


def kova_options() -> set[str]:
    """The options `python -m kova report` has here (--timings and --jobs are recent)."""
    result = subprocess.run(
        [sys.executable, "-m", "kova", "report", "--help"],
        capture_output=True,
        text=True,
        check=True,
    )
    return {option for option in ("--timings", "--jobs") if option in result.stdout}


def kova_run(path: Path, target: bool, out: Path, jobs: int, options: set[str]) -> Run:
    name = "target" if target else "plain"
    command = [sys.executable, "-m", "kova", "report", str(path), "-q"]
    command += ["-o", str(out / f"kova-{name}.html")]
    command += ["--target", TARGET] if target else []
    command += ["--jobs", str(jobs)] if "--jobs" in options else []
    timings = out / f"timings-{name}.json"
    command += ["--timings", str(timings)] if "--timings" in options else []
    run = run_child(command, child_environment(jobs), out / f"kova-{name}.log")
    if timings.exists():
        run.sections = {str(k): float(v) for k, v in json.loads(timings.read_text()).items()}
        timings.unlink()
    return run


def peer_python(given: str | None) -> str | None:
    """An interpreter that imports ydata_profiling: the given one, or this one, or none."""
    candidate = given or sys.executable
    probe = subprocess.run([candidate, "-c", "import ydata_profiling"], capture_output=True)
    return candidate if probe.returncode == 0 else None


def peer_run(python: str, path: Path, out: Path, jobs: int) -> Run:
    command = [python, "-c", PEER_SCRIPT, str(path), str(out / "ydata-minimal.html")]
    return run_child(command, child_environment(jobs), out / "ydata.log")


# ---------------------------------------------------------------------------------------------
# One size


def _median(runs: list[Run], attribute: str) -> float:
    return statistics.median(getattr(run, attribute) for run in runs)


def _median_sections(runs: list[Run]) -> dict[str, float]:
    labels = dict.fromkeys(label for run in runs for label in run.sections)
    return {
        label: statistics.median(run.sections[label] for run in runs if label in run.sections)
        for label in labels
    }


def measure(args: argparse.Namespace, rows: int, cols: int, peer: str | None) -> None:
    out = Path(args.out)
    path = data_file(out, rows, cols, args.seed)
    frame_mib = pd.read_csv(path).memory_usage(deep=True).sum() / 2**20
    repeat = args.repeat or (3 if rows * cols <= 4_000_000 else 1)
    options = kova_options()
    runs: dict[str, list[Run]] = {"kova --target": [], "kova": [], "ydata minimal": []}
    for _ in range(repeat):  # interleaved, so that a busy spell hits every contender
        runs["kova --target"].append(kova_run(path, True, out, args.jobs, options))
        runs["kova"].append(kova_run(path, False, out, args.jobs, options))
        if peer:
            runs["ydata minimal"].append(peer_run(peer, path, out, args.jobs))
    print(
        f"\n{rows:,} rows x {cols} columns: CSV {path.stat().st_size / 2**20:.1f} MiB, frame "
        f"{frame_mib:.1f} MiB as read (deep); median of {repeat}, jobs {args.jobs}, "
        f"load {' '.join(f'{x:.2f}' for x in os.getloadavg())}"
    )
    print_runs(runs, frame_mib)
    print_sections(runs)


def print_runs(runs: dict[str, list[Run]], frame_mib: float) -> None:
    peer = runs["ydata minimal"]
    print(f"{'run':<16}{'wall s':>10}{'peak RSS MiB':>14}{'RSS/frame':>11}{'ydata/kova':>12}")
    for name, measured in runs.items():
        if not measured:
            print(f"{name:<16}{'(ydata-profiling not found: --peer-python)':>47}")
            continue
        seconds, peak = _median(measured, "seconds"), _median(measured, "peak_mib")
        ratio = (
            f"{_median(peer, 'seconds') / seconds:>11.2f}x"
            if peer and name != "ydata minimal"
            else ""
        )
        print(f"{name:<16}{seconds:>10.2f}{peak:>14.0f}{peak / frame_mib:>10.2f}x{ratio}")


def print_sections(runs: dict[str, list[Run]]) -> None:
    with_target, without = _median_sections(runs["kova --target"]), _median_sections(runs["kova"])
    if not with_target and not without:
        print("section times: the command has no --timings option here")
        return
    print(f"{'section (median s)':<40}{'--target':>10}{'no target':>11}")
    for label in dict.fromkeys([*with_target, *without]):
        cells = [f"{d[label]:.2f}" if label in d else "-" for d in (with_target, without)]
        print(f"{label:<40}{cells[0]:>10}{cells[1]:>11}")


# ---------------------------------------------------------------------------------------------
# Command line


def _size(text: str) -> tuple[int, int]:
    rows, _, cols = text.lower().partition("x")
    return int(rows), int(cols)


def _parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m benchmarks report",
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--sizes", type=_size, nargs="+", default=list(DEFAULT_SIZES),
                        help="ROWSxCOLS sizes to run (default: 200000x20 1000000x50)")  # fmt: skip
    parser.add_argument("--rows", type=int, help="one size of this many rows (with --cols)")
    parser.add_argument("--cols", type=int, default=20, help="columns of the --rows size")
    parser.add_argument("--repeat", type=int, default=None,
                        help="interleaved runs per size (default 3, 1 from 4e6 cells)")  # fmt: skip
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="thread bound of each child process (default: the cores)")  # fmt: skip
    parser.add_argument("--peer-python", help="interpreter with ydata-profiling installed")
    parser.add_argument("--out", default="benchmarks/out/report", help="data and report folder")
    parser.add_argument("--seed", type=int, default=0, help="seed of the data")
    args = parser.parse_args(argv)
    if args.rows:
        args.sizes = [(args.rows, args.cols)]
    return args


def main(argv: list[str] | None = None) -> int:
    args = _parse(argv)
    peer = peer_python(args.peer_python)
    for rows, cols in args.sizes:
        measure(args, rows, cols, peer)
    return 0
