"""The command `python -m kova report FILE --target y -o OUT`, run in a subprocess on odd files.

The contract: exit status 0 with the page written and its path as the only line on standard
output, or exit status 2 with exactly one line on standard error and nothing written.
"""

import os
import subprocess
import sys

import pytest
from fuzz_frames import frames, fuzz_settings
from hypothesis import given
from hypothesis import strategies as st

COMMAND_SECONDS = 600


def run_report(path, out, *options):
    """Run the command on `path` writing `out`; return the completed process."""
    paths = os.environ.get("PYTHONPATH", "").split(os.pathsep)
    env = dict(os.environ, MPLBACKEND="Agg", OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths if p)
    command = [sys.executable, "-m", "kova", "report", str(path), "-o", str(out), "-q", *options]
    return subprocess.run(
        command, capture_output=True, text=True, env=env, timeout=COMMAND_SECONDS, check=False
    )


def assert_contract(done, out):
    """Exit 0 with the page written, or exit 2 with one line on stderr and nothing written."""
    if done.returncode == 0:
        assert out.is_file()
        assert out.stat().st_size > 0
        assert done.stdout.splitlines() == [str(out.resolve())], done.stdout
    else:
        assert done.returncode == 2, done.stderr
        assert len(done.stderr.splitlines()) == 1, done.stderr
        assert done.stderr.startswith("error: "), done.stderr
        assert not out.exists()


@fuzz_settings(2, most=40)
@given(frame=frames(min_rows=2), with_target=st.booleans())
def test_the_command_writes_a_page_or_ends_with_one_line(tmp_path_factory, frame, with_target):
    folder = tmp_path_factory.mktemp("command")
    path, out = folder / "data.csv", folder / "report.html"
    frame.to_csv(path, index=False)
    options = ["--target", "y"] if with_target else []
    assert_contract(run_report(path, out, *options), out)


def _rows(header, rows):
    return "\n".join([header, *rows]) + "\n"


SMALL = [f"{i % 7},{(i * 3) % 5},{i % 2}" for i in range(60)]
ODD_FILES = {
    "only the target": _rows("y", [str(i % 2) for i in range(40)]),
    "a 1,000-class target": _rows("x,y", [f"{i % 13},{i % 1000}" for i in range(2000)]),
    "an infinite cell": _rows("a,b,y", ["inf,1,0", "-inf,2,1", *SMALL]),
    "a 1e300 cell": _rows("a,b,y", ["1e300,1,0", "-1e300,2,1", *SMALL]),
    "an all-empty column": _rows(
        "a,b,e,y", [f"{row.rsplit(',', 1)[0]},,{i % 2}" for i, row in enumerate(SMALL)]
    ),
    "an ID column": _rows("id,a,b,y", [f"{i},{row}" for i, row in enumerate(SMALL)]),
    "three rows": _rows("a,b,y", SMALL[:3]),
    "two rows": _rows("a,b,y", SMALL[:2]),
}


@pytest.mark.parametrize("name", list(ODD_FILES))
def test_odd_files_give_a_page_or_one_line(tmp_path, name):
    path, out = tmp_path / "data.csv", tmp_path / "report.html"
    path.write_text(ODD_FILES[name], encoding="utf-8")
    done = run_report(path, out, "--target", "y")
    assert_contract(done, out)
    if name in ("an ID column", "three rows"):
        assert done.returncode == 0, done.stderr  # undiagnosable segments are left out


@pytest.mark.parametrize("encoding", ["latin-1", "utf-16"])
def test_a_file_in_another_encoding_is_read_or_named(tmp_path, encoding):
    path, out = tmp_path / "data.csv", tmp_path / "report.html"
    path.write_text(_rows("città,y", [f"{i % 5},{i % 2}" for i in range(40)]), encoding=encoding)
    done = run_report(path, out, "--target", "y")
    assert_contract(done, out)
    if done.returncode == 2:
        assert "UTF-8" in done.stderr or encoding.upper() in done.stderr.upper(), done.stderr


def test_an_output_folder_that_does_not_exist_is_named_before_any_work(tmp_path):
    path, out = tmp_path / "data.csv", tmp_path / "missing" / "report.html"
    path.write_text(_rows("a,b,y", SMALL), encoding="utf-8")
    done = run_report(path, out, "--target", "y")
    assert_contract(done, out)
    assert done.returncode == 2
    assert "missing" in done.stderr
