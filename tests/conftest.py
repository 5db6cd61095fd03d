"""Shared test set-up: a non-interactive plotting backend, figure clean-up, kernel paths."""

import os

os.environ.setdefault("MPLBACKEND", "Agg")

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt
import pytest


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


@pytest.fixture
def kernel_env(monkeypatch):
    """Environment for a kernel started by a test: inline drawing, as for a user, and an
    absolute PYTHONPATH, so that PYTHONPATH=src still finds kova from another directory."""
    monkeypatch.delenv("MPLBACKEND", raising=False)
    paths = os.environ.get("PYTHONPATH", "").split(os.pathsep)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(os.path.abspath(p) for p in paths if p))


@pytest.fixture
def headless_chromium():
    """Open Debian's chromium through its chromium-driver: `headless_chromium(size, timeout)`
    gives a selenium driver with that window size and page-load timeout, quit at the end. The
    driver starts without LD_PRELOAD, whatever the interpreter was started with."""
    import shutil

    from selenium import webdriver

    drivers = []

    def open_driver(window_size: str, page_seconds: float):
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
            options.add_argument(flag)
        options.add_argument(f"--window-size={window_size}")
        # The sanitizer run preloads its runtime for the interpreter; the browser and its driver
        # are not built with it and abort when it is loaded into them.
        browser_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        service = webdriver.ChromeService(shutil.which("chromedriver"), env=browser_env)
        drivers.append(webdriver.Chrome(service=service, options=options))
        drivers[-1].set_page_load_timeout(page_seconds)
        return drivers[-1]

    try:
        yield open_driver
    finally:
        for driver in drivers:
            driver.quit()


def pytest_addoption(parser):
    parser.addoption(
        "--fuzz-long",
        action="store_true",
        help="run the fuzz tests (tests/fuzz) with 1000 random examples each "
        "(KOVA_FUZZ_EXAMPLES sets another count)",
    )


def pytest_configure(config):
    # Read by tests/fuzz/fuzz_frames.py when the fuzz modules are collected, after this hook.
    if config.getoption("--fuzz-long"):
        os.environ.setdefault("KOVA_FUZZ_EXAMPLES", "1000")


# Dask clusters of the tests: on the loopback interface, on free ports, closed even when a test
# fails, within bounded times.
DASK_START_TIMEOUT = "60s"
DASK_CLOSE_TIMEOUT = 30  # seconds


@pytest.fixture(scope="module")
def dask_cluster():
    """A LocalCluster of two single-threaded worker processes on 127.0.0.1: separate processes,
    so that nothing may depend on the process it runs in."""
    distributed = pytest.importorskip("distributed", reason="the distributed extra is missing")
    cluster = distributed.LocalCluster(
        host="127.0.0.1",
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        # The scheduler's HTTP server listens even without a dashboard, by default on port
        # 8787: a free loopback port keeps clusters that run side by side apart.
        dashboard_address="127.0.0.1:0",
        scheduler_port=0,
        worker_dashboard_address=None,
        timeout=DASK_START_TIMEOUT,
    )
    try:
        yield cluster
    finally:
        cluster.close(timeout=DASK_CLOSE_TIMEOUT)


@pytest.fixture(scope="module")
def client(dask_cluster):
    """A client of `dask_cluster` with both workers up."""
    import distributed

    with distributed.Client(dask_cluster, timeout=DASK_START_TIMEOUT) as dask_client:
        dask_client.wait_for_workers(2, timeout=DASK_START_TIMEOUT)
        yield dask_client
