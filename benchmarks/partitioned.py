"""Partitioned integrity checks on a Parquet folder against the in-memory checks.

Writes N rows of the integrity benchmark's 20 mixed columns (benchmarks/integrity.py) as a
folder of Parquet files, one file per partition, with planted copies across partition
boundaries; runs single_column_check, duplicated_samples and highly_correlated_features through
PartitionedIntegrityCheck on a two-worker LocalCluster on 127.0.0.1 while polling the resident
memory of the scheduler (this process, which also merges the summaries) and of each worker;
then runs the report on the folder (``python -m kova report --target flag`` in a process of its
own, on the same cluster) with its wall time and peak RSS; then, on the first --memory-rows rows
(0 skips this), times the partitioned and the in-memory checks (interleaved, the median of
--repeats runs each) and tells whether their tables are equal.

python -m benchmarks partitioned --rows 1000000 --memory-rows 1000000
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import pandas as pd
from pandas.testing import assert_frame_equal

from benchmarks import integrity
from benchmarks.common import loopback_cluster

CHECKS = ("single_column_check", "duplicated_samples", "highly_correlated_features")


def write_folder(folder: str, rows: int, partition_rows: int) -> list[str]:
    """One Parquet file per partition; each partition starts with copies of the previous
    partition's last 10 rows."""
    files = []
    previous = None
    for k, start in enumerate(range(0, rows, partition_rows)):
        frame, _ = integrity.make_frame(min(partition_rows, rows - start), seed=k)
        frame["objects_mixed"] = frame["objects_mixed"].astype(str)  # Parquet needs one type
        if previous is not None and len(frame) >= 10:
            frame.iloc[:10] = previous.iloc[-10:].to_numpy()
        path = os.path.join(folder, f"part-{k:05d}.parquet")
        frame.to_parquet(path, index=False)
        files.append(path)
        previous = frame
    return files


class PeakMemory:
    """Polls the resident memory of processes in a thread and keeps each one's peak."""

    def __init__(self, pids: dict[str, int], interval: float = 0.1):
        import psutil

        self._processes = {name: psutil.Process(pid) for name, pid in pids.items()}
        self.peaks = dict.fromkeys(pids, 0)
        self._interval = interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._poll, daemon=True)

    def _poll(self):
        while not self._stop.is_set():
            for name, process in self._processes.items():
                if process.is_running():  # the report's process may have ended
                    with contextlib.suppress(Exception):
                        self.peaks[name] = max(self.peaks[name], process.memory_info().rss)
            self._stop.wait(self._interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=5)


def table_of(result):
    return result if isinstance(result, str) else getattr(result, "data", result)


def run_checks(check) -> dict:
    return {name: table_of(getattr(check, name)()) for name in CHECKS}


def timed(run) -> tuple[float, object]:
    start = time.perf_counter()
    result = run()
    return time.perf_counter() - start, result


def same_tables(a: dict, b: dict) -> bool:
    try:
        for name in CHECKS:
            if isinstance(a[name], str) or isinstance(b[name], str):
                assert a[name] == b[name]
            else:
                assert_frame_equal(a[name], b[name])
    except AssertionError:
        return False
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks partitioned", description=__doc__)
    parser.add_argument("--rows", type=int, default=50_000_000, help="rows of the Parquet folder")
    parser.add_argument("--memory-rows", type=int, default=5_000_000, help="rows of the ratio")
    parser.add_argument("--partition-rows", type=int, default=500_000, help="rows per file")
    parser.add_argument("--repeats", type=int, default=1, help="interleaved timed runs")
    parser.add_argument(
        "--no-report", dest="report", action="store_false", help="skip the report's run"
    )
    args = parser.parse_args(argv)

    from distributed import Client
    from threadpoolctl import threadpool_limits

    from kova.data import PartitionedIntegrityCheck
    from kova.data.kestrin.kestrin import DataIntegrityCheck

    with tempfile.TemporaryDirectory() as folder, threadpool_limits(1):
        start = time.perf_counter()
        # written by a child process, so the peak of this process (the scheduler's) is the
        # checks' own, not the memory the writing left behind
        with concurrent.futures.ProcessPoolExecutor(1) as writer:
            files = writer.submit(write_folder, folder, args.rows, args.partition_rows).result()
        print(
            f"wrote {args.rows:,} rows x 20 columns in {len(files)} files "
            f"({time.perf_counter() - start:.1f} s)"
        )
        cluster = loopback_cluster(2)
        try:
            with Client(cluster) as client:
                pids = {"scheduler": os.getpid()}
                for k, pid in enumerate(client.run(os.getpid).values()):
                    pids[f"worker {k}"] = pid
                check = PartitionedIntegrityCheck(folder)
                for name in CHECKS:
                    with PeakMemory(pids) as memory:
                        seconds, _ = timed(getattr(check, name))
                    print(f"{args.rows:>12,} rows  {name:<28} partitioned {seconds:8.2f} s")
                    print(f"  peak RSS: {_peaks(memory.peaks)}", flush=True)
                if args.report:
                    run_report(folder, cluster.scheduler_address, pids)
                if args.memory_rows:
                    compare_in_memory(args, files, PartitionedIntegrityCheck, DataIntegrityCheck)
        finally:
            cluster.close(timeout=60)
    return 0


def _peaks(peaks: dict[str, int]) -> str:
    return ", ".join(f"{name} {rss / 2**30:.2f} GiB" for name, rss in peaks.items())


def run_report(folder: str, scheduler: str, pids: dict[str, int]) -> None:
    """``python -m kova report FOLDER --target flag`` on the same cluster, in a process of its
    own (the report's caller), with its wall time and the peak RSS of every process."""
    with tempfile.TemporaryDirectory() as out:
        command = [sys.executable, "-m", "kova", "report", folder, "--target", "flag", "-q",
                   "--scheduler", scheduler, "-o", os.path.join(out, "report.html")]  # fmt: skip
        start = time.perf_counter()
        process = subprocess.Popen(command)
        with PeakMemory({**pids, "report caller": process.pid}) as memory:
            status = process.wait()
        seconds = time.perf_counter() - start
    print(f"report: exit status {status}, {seconds:.2f} s; peak RSS: {_peaks(memory.peaks)}")


def compare_in_memory(args, files, partitioned_type, in_memory_type):
    """Partitioned and in-memory times on the first memory_rows rows, and table equality."""
    chosen = files[: max(1, -(-args.memory_rows // args.partition_rows))]
    frame = pd.concat([pd.read_parquet(f) for f in chosen], ignore_index=True)
    from kova.data import infer_column_kind

    meta_info = {name: infer_column_kind(frame[name]) for name in frame.columns}
    folder = _subset_folder(chosen)
    times = {name: ([], []) for name in CHECKS}
    results = {}
    for _ in range(args.repeats):
        for name in CHECKS:
            # a new check per run: a check keeps its column summaries between calls
            seconds, results[("p", name)] = timed(
                getattr(partitioned_type(folder, meta_info), name)
            )
            times[name][0].append(seconds)
            seconds, results[("m", name)] = timed(getattr(in_memory_type(frame, meta_info), name))
            times[name][1].append(seconds)
    print(f"at {len(frame):,} rows{'':14}partitioned s  in-memory s  ratio")
    for name in CHECKS:
        p, m = statistics.median(times[name][0]), statistics.median(times[name][1])
        print(f"  {name:<32}{p:>12.2f}{m:>13.2f}{p / m:>7.2f}x")
    same = same_tables(
        {n: table_of(results[("p", n)]) for n in CHECKS},
        {n: table_of(results[("m", n)]) for n in CHECKS},
    )
    print(f"identical tables: {same}")


def _subset_folder(files: list[str]) -> str:
    """A folder of links to the chosen files, read as one source."""
    folder = tempfile.mkdtemp(dir=os.path.dirname(files[0]))
    for path in files:
        os.symlink(path, os.path.join(folder, os.path.basename(path)))
    return folder


if __name__ == "__main__":
    raise SystemExit(main())
