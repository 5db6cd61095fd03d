"""The main job: ``python -m kova`` reports on built-in demo data;
``python -m kova report data.csv --target y`` reports on a CSV file."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path


def _program_name() -> str:
    """The program name for --help: the console script's own name, or "python -m kova"."""
    name = Path(sys.argv[0]).name
    return "python -m kova" if name in ("__main__.py", "") else name


def _parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog=_program_name(), description=__doc__)
    sub = parser.add_subparsers(dest="command")
    demo = sub.add_parser("demo", help="report on the built-in demo data (the default)")
    demo.add_argument("-o", "--output", default="kova-report.html", help="HTML file to write")
    rep = sub.add_parser("report", help="report on a CSV file")
    rep.add_argument("csv", help="CSV file to read")
    rep.add_argument("--target", default=None, help="name of the target column")
    rep.add_argument("-o", "--output", default="kova-report.html", help="HTML file to write")
    argv = list(argv or [])
    if not argv or (argv[0].startswith("-") and argv[0] not in ("-h", "--help")):
        argv = ["demo", *argv]  # the demo is the default command
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    os.environ.setdefault("MPLBACKEND", "Agg")
    import pandas as pd

    from kova.report import build_report

    args = _parse(sys.argv[1:] if argv is None else argv)
    if args.command == "report":
        df = pd.read_csv(args.csv)
        if args.target is not None and args.target not in df.columns:
            print(f"error: target column {args.target!r} is not in {args.csv}", file=sys.stderr)
            return 2
        title, target = f"kova report: {Path(args.csv).name}", args.target
    else:
        from kova.demo import DEMO_TARGET, demo_frame

        df, title, target = demo_frame(), "kova report: demo data", DEMO_TARGET
    path = build_report(df, target, title).write(Path(args.output).resolve())
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
