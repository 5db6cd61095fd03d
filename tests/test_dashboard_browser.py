"""The dashboard served by Voila, driven in headless Chromium: train two methods, chart them."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("voila", reason="voila is not installed (pip install '.[test]')")
webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
NOTEBOOK = ROOT / "examples" / "dashboard.ipynb"
CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
TRAINED = ["Isolation Forest", "PCA Reconstruction"]  # ticked; every other method is unticked
STARTUP_SECONDS = 60  # Voila listening
PAGE_SECONDS = 180  # a kernel starting and running the notebook, training, drawing

pytestmark = [
    pytest.mark.skipif(
        not (CHROMIUM and DRIVER),
        reason="Debian's chromium and chromium-driver are missing "
        "(apt-get install -y chromium chromium-driver)",
    ),
    pytest.mark.skipif(not NOTEBOOK.exists(), reason="examples are not part of this checkout"),
]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_listening(port, server, log):
    deadline = time.monotonic() + STARTUP_SECONDS
    while time.monotonic() < deadline:
        if server.poll() is not None:
            pytest.fail(f"Voila exited with {server.returncode}:\n{log.read_text()}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.5)
    pytest.fail(f"Voila did not listen on port {port} in {STARTUP_SECONDS}s:\n{log.read_text()}")


def stop(server):
    """Stop Voila and the kernels it started (its own process group)."""
    if server.poll() is None:
        os.killpg(server.pid, signal.SIGTERM)
        try:
            server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(server.pid, signal.SIGKILL)
            server.wait(timeout=10)


@pytest.fixture
def dashboard_url(tmp_path, kernel_env):
    env = dict(os.environ)
    port, log = free_port(), tmp_path / "voila.log"
    command = [sys.executable, "-m", "voila", str(NOTEBOOK), f"--port={port}"]
    command += ["--Voila.ip=127.0.0.1", "--no-browser"]
    with log.open("w") as out:
        server = subprocess.Popen(
            command,
            cwd=ROOT,
            env=env,
            stdout=out,
            stderr=subprocess.STDOUT,
            start_new_session=True,
        )
    try:
        wait_listening(port, server, log)
        yield f"http://127.0.0.1:{port}/"
    finally:
        stop(server)


@pytest.fixture
def browser(headless_chromium):
    return headless_chromium("1400,1500", PAGE_SECONDS)


def find(driver, xpath):
    return WebDriverWait(driver, PAGE_SECONDS).until(lambda d: d.find_element(By.XPATH, xpath))


def test_train_two_methods_and_see_them_charted(dashboard_url, browser, tmp_path):
    browser.get(dashboard_url)
    check_type = find(browser, "//select[option[@value='Outlier Detection']]")
    Select(check_type).select_by_value("Outlier Detection")

    find(browser, "//div[contains(@class, 'list-item')]")
    for box in browser.find_elements(By.XPATH, "//span[@title]/preceding-sibling::input"):
        name = box.find_element(By.XPATH, "following-sibling::span").get_attribute("title")
        if box.is_selected() != (name in TRAINED):
            box.click()
    ticked = browser.find_elements(By.XPATH, "//span[@title]/preceding-sibling::input")
    assert sum(box.is_selected() for box in ticked) == len(TRAINED)

    find(browser, "//button[normalize-space()='RUN']").click()
    find(browser, "//*[contains(text(), 'Method Running Done')]")

    find(browser, "//button[@data-value='Visualization']").click()
    methods = find(browser, "//select[option[@value='Select Method']]")
    offered = {option.get_attribute("value") for option in Select(methods).options}
    assert offered == {"Select Method", *TRAINED}
    find(browser, "//img[starts-with(@src, 'data:image/png')]")  # the score chart is drawn
    browser.save_screenshot(str(tmp_path / "dashboard.png"))
