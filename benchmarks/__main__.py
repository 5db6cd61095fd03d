"""Run the benchmarks and print our time, the plain pandas time, their ratio and peak memory.

python -m benchmarks               # the integrity checks on 1,000,000 rows
python -m benchmarks --rows 100000 # a quicker run
python -m benchmarks search        # the hyper-parameter search (see benchmarks/search.py)
python -m benchmarks distance      # two-sample distances (see benchmarks/distance.py)
python -m benchmarks xgb1          # boosted depth-1 trees against xgboost (benchmarks/xgb1.py)
python -m benchmarks report        # the report command against ydata-profiling (report.py)
python -m benchmarks profile       # column profiles against plain pandas (profile.py)
python -m benchmarks regions       # weak regions on planted ones (benchmarks/regions.py)
python -m benchmarks partitioned   # integrity checks on Dask (benchmarks/partitioned.py)
"""

from __future__ import annotations

import argparse
import sys

from benchmarks import (
    distance,
    integrity,
    partitioned,
    profile,
    regions,
    report,
    search,
    xgb1,
)
from benchmarks.common import arguments


def _parse(argv: list[str] | None) -> argparse.Namespace:
    return arguments(
        "integrity", __doc__, 1_000_000, "the test frame", "timed runs of our version"
    ).parse_args(argv)


def integrity_main(argv: list[str] | None = None) -> int:
    from kova.data.kestrin.kestrin import DataIntegrityCheck

    args = _parse(argv)
    frame, meta_info = integrity.make_frame(args.rows, args.seed)
    check = DataIntegrityCheck(frame, meta_info)
    cases = [
        (
            "single_column_check",
            check.single_column_check,
            lambda: integrity.plain_single_column_check(frame),
        ),
        (
            "highly_correlated_features",
            check.highly_correlated_features,
            lambda: integrity.plain_highly_correlated_features(frame, meta_info),
        ),
    ]
    print(f"frame: {args.rows:,} rows x {frame.shape[1]} columns")
    header = f"{'operation':<28}{'kova s':>10}{'pandas s':>10}{'speed-up':>10}{'peak/frame':>12}"
    print(header)
    for name, ours, plain in cases:
        m = integrity.compare(name, ours, plain, frame, args.repeats)
        print(
            f"{m.name:<28}{m.ours_seconds:>10.3f}{m.plain_seconds:>10.3f}"
            f"{m.speedup:>9.1f}x{m.memory_ratio:>11.2f}x"
        )
    frame_mb = frame.memory_usage(deep=True).sum() / 2**20
    print(f"frame memory (deep): {frame_mb:.1f} MiB; peak = tracemalloc peak during our call")
    return 0


COMMANDS = {
    "integrity": integrity_main,
    "partitioned": partitioned.main,
    "search": search.main,
    "distance": distance.main,
    "xgb1": xgb1.main,
    "report": report.main,
    "profile": profile.main,
    "regions": regions.main,
}


def main(argv: list[str] | None = None) -> int:
    """`python -m benchmarks NAME [options]`; integrity by default."""
    argv = list(sys.argv[1:] if argv is None else argv)
    command = argv.pop(0) if argv and argv[0] in COMMANDS else "integrity"
    return COMMANDS[command](argv)


if __name__ == "__main__":
    raise SystemExit(main())
