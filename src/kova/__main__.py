"""The main job: ``python -m kova`` reports on built-in demo data;
``python -m kova report data.csv --target y`` reports on a CSV or Parquet file, and
``python -m kova report "exports/*.parquet" --target y`` on partitioned data, on Dask.

The report's path is the only line written to standard output; a progress bar is drawn on
standard error when it is a terminal. Bad input ends with a one-line error and status 2."""

from __future__ import annotations

import argparse
import json
import os
import sys
import warnings
from pathlib import Path

from kova.report.alerts import THRESHOLD_HELP, Thresholds, threshold_fields

PARQUET_MAGIC = b"PAR1"
SNIFF_BYTES = 64 * 1024
UTF16_MARKS = (b"\xff\xfe", b"\xfe\xff")


class InputError(Exception):
    """Input the command cannot report on; its message is shown as the error line."""


def _program_name() -> str:
    """The program name for --help: the console script's own name, or "python -m kova"."""
    name = Path(sys.argv[0]).name
    return "python -m kova" if name in ("__main__.py", "") else name


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, got {text}")
    return value


def _common_options(with_defaults: bool) -> argparse.ArgumentParser:
    """Output, progress and threshold options; the sub-commands take them without defaults
    so that an option given before the sub-command is not reset by it."""
    parent = argparse.ArgumentParser(add_help=False)

    def default(value):
        return value if with_defaults else argparse.SUPPRESS

    parent.add_argument("-o", "--output", default=default("kova-report.html"),
                        help="HTML file to write (default: kova-report.html)")  # fmt: skip
    parent.add_argument("-q", "--quiet", action="store_true", default=default(False),
                        help="draw no progress bar")  # fmt: skip
    parent.add_argument("--jobs", type=_positive, default=default(None), metavar="N",
                        help="threads of the diagnostics model and the depth search "
                        "(default: the free cores: cores less the current load)")  # fmt: skip
    parent.add_argument("--timings", default=default(None), metavar="PATH",
                        help="also write each section's wall time in seconds to PATH as "
                        'JSON, {"section label": seconds, ...} in page order')  # fmt: skip
    group = parent.add_argument_group("alert thresholds")
    for field in threshold_fields():
        group.add_argument(
            "--" + field.name.replace("_", "-"),
            type=type(field.default),
            default=default(field.default),
            help=f"{THRESHOLD_HELP[field.name]} (default: {field.default})",
        )
    return parent


def _parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=_program_name(), description=__doc__, parents=[_common_options(True)],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )  # fmt: skip
    common = _common_options(False)
    sub = parser.add_subparsers(dest="command")
    sub.add_parser("demo", parents=[common], help="report on the built-in demo data (default)")
    rep = sub.add_parser("report", parents=[common], help="report on a CSV or Parquet file")
    rep.add_argument(
        "file",
        help="CSV or Parquet file to read; a folder of Parquet files or a quoted glob of CSV or "
        "Parquet files is read in partitions on Dask",
    )
    rep.add_argument("--target", default=None, help="name of the target column")
    rep.add_argument(
        "--scheduler",
        default=None,
        metavar="ADDRESS",
        help="read the data in partitions on the Dask cluster at ADDRESS (default for a folder "
        "or glob: a local cluster on 127.0.0.1, one worker per core)",
    )
    if not argv or (argv[0].startswith("-") and argv[0] not in ("-h", "--help")):
        argv = ["demo", *argv]  # the demo is the default command
    return parser.parse_args(argv)


def _thresholds(args: argparse.Namespace) -> Thresholds:
    return Thresholds(**{f.name: getattr(args, f.name) for f in threshold_fields()})


def read_frame(path: Path):
    """Read a CSV or Parquet file into a frame; anything else is an `InputError`."""
    import pandas as pd

    if not path.is_file():
        raise InputError(f"{path}: no such file")
    with path.open("rb") as handle:
        head = handle.read(SNIFF_BYTES)
    if head.startswith(PARQUET_MAGIC) or path.suffix.lower() in (".parquet", ".pq"):
        return _read_parquet(path)
    if not head.strip():
        raise InputError(f"{path}: the file is empty")
    if head.startswith(UTF16_MARKS):
        raise InputError(f"{path}: the file is UTF-16 text; save it as UTF-8")
    if b"\0" in head:
        raise InputError(f"{path}: not a CSV or Parquet file")
    if not _is_text(head):
        raise InputError(f"{path}: not UTF-8 text; save the file as UTF-8")
    try:
        return pd.read_csv(path)
    except (pd.errors.ParserError, UnicodeDecodeError) as error:
        reason = str(error).strip().splitlines()[0]
        raise InputError(f"{path}: not a readable CSV file ({reason})") from None


def _is_text(head: bytes) -> bool:
    try:
        head.decode("utf-8")
    except UnicodeDecodeError as error:
        return error.start > len(head) - 4  # a character cut at the end of the sniffed bytes
    return True


def _read_parquet(path: Path):
    import pandas as pd

    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise InputError(
            f"{path}: reading Parquet needs pyarrow (pip install 'kova[parquet]')"
        ) from None
    try:
        return pd.read_parquet(path)
    except Exception as error:  # pyarrow's errors have no common public base
        raise InputError(f"{path}: not a readable Parquet file ({error})") from None


def check_frame(df, target: str | None, source: str) -> None:
    """Reject frames no report can be made of, before any section runs."""
    if df.shape[1] == 0 or len(df) == 0:
        raise InputError(f"{source}: the file has no data rows")
    if target is None:
        return
    if target not in df.columns:
        raise InputError(f"{source}: target column {target!r} is not in the file")
    if df.shape[1] == 1:
        raise InputError(f"{source}: the file holds only the target {target!r}; no features")
    values = df[target]
    if values.isna().any():
        raise InputError(
            f"{source}: target {target!r} has {int(values.isna().sum())} missing values"
        )
    if values.nunique() < 2:
        raise InputError(f"{source}: target {target!r} has a single value; nothing to learn")


def checked_output(output: str) -> Path:
    """The report's path, resolved; a folder that is missing or not writable is an
    `InputError` now, before any section runs, not after the whole report is computed."""
    path = Path(output).resolve()
    if path.is_dir():
        raise InputError(f"{path}: is a folder; give the report's file name")
    if not path.parent.is_dir():
        raise InputError(f"{path.parent}: no such folder for the report")
    if not os.access(path.parent, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise InputError(f"{path}: cannot write the report there")
    return path


def _load(args: argparse.Namespace):
    if args.command == "report":
        path = Path(args.file)
        df = read_frame(path)
        check_frame(df, args.target, str(path))
        return df, f"kova report: {path.name}", args.target
    from kova.demo import DEMO_TARGET, demo_frame

    return demo_frame(), "kova report: demo data", DEMO_TARGET


def _report_partitioned(args: argparse.Namespace, timings: dict[str, float]):
    """The page of a partitioned source, read on the cluster of `--scheduler` or a local one
    that is stopped before returning, whatever happens."""
    from kova.progress import ProgressBar
    from kova.report.build import SECTIONS, build_report
    from kova.report.partitions import (
        PARTITION_PASSES,
        PartitionedReportContext,
        dask_client,
        open_source,
    )

    data, own_index = open_source(args.file)
    with dask_client(args.scheduler) as client:
        steps = len(SECTIONS) + PARTITION_PASSES * data.npartitions
        bar = ProgressBar(steps, enabled=False if args.quiet else None)
        try:
            context = PartitionedReportContext.scan(
                data, own_index, args.target, _thresholds(args), client, on_partition=bar.step
            )
            title = f"kova report: {args.file}"
            return build_report(context.frame, args.target, title, on_step=bar.step,
                                jobs=args.jobs, timings=timings, context=context)  # fmt: skip
        finally:
            bar.close()


def _partitioned(args: argparse.Namespace) -> bool:
    if args.command != "report":
        return False
    from kova.report.partitions import is_partitioned

    return args.scheduler is not None or is_partitioned(args.file)


def main(argv: list[str] | None = None) -> int:
    os.environ.setdefault("MPLBACKEND", "Agg")
    args = _parse(sys.argv[1:] if argv is None else list(argv))
    if _partitioned(args):
        return _main_partitioned(args)
    from kova.exceptions import KovaError
    from kova.progress import ProgressBar
    from kova.report.build import SECTIONS, build_report

    try:
        output = checked_output(args.output)
        df, title, target = _load(args)
    except (InputError, KovaError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    bar = ProgressBar(len(SECTIONS), enabled=False if args.quiet else None)
    timings: dict[str, float] = {}
    try:
        # the page holds the findings: the libraries' warnings (and the tracebacks some of
        # them quote) would only clutter the one-line contract of standard error
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            page = build_report(df, target, title, _thresholds(args), on_step=bar.step,
                                jobs=args.jobs, timings=timings)  # fmt: skip
    except KovaError as error:
        bar.close()
        print(f"error: {error}", file=sys.stderr)
        return 2
    bar.close()
    print(page.write(output))
    if args.timings is not None:
        Path(args.timings).write_text(json.dumps(timings, indent=1) + "\n", encoding="utf-8")
    return 0


def _main_partitioned(args: argparse.Namespace) -> int:
    from kova.exceptions import KovaError

    timings: dict[str, float] = {}
    try:
        page = _report_partitioned(args, timings)
    except KovaError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    print(page.write(Path(args.output).resolve()))
    if args.timings is not None:
        Path(args.timings).write_text(json.dumps(timings, indent=1) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
