"""The dashboard served by Voila, driven in headless Chromium: every check type, training,
the Visualization and Comparison tabs; no page may show a widget error."""

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

ROOT = Path(__file__).resolve().parents[2]
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


def settled(driver, name, folder):
    """Wait until no widget is still loading, fail on any widget error, save a screenshot."""
    WebDriverWait(driver, PAGE_SECONDS).until(
        lambda d: "Loading widget" not in d.execute_script("return document.body.innerText")
    )
    time.sleep(1)  # a widget closed late shows its error only after the page has settled
    text = driver.execute_script("return document.body.innerText")
    driver.save_screenshot(str(folder / f"{name}.png"))
    assert "Error displaying widget" not in text, f"{name}: {text}"


def choose_check_type(driver, value):
    Select(find(driver, "//select[option[@value='Outlier Detection']]")).select_by_value(value)


def overflowing_ancestors(driver, element, levels=4):
    """Ancestors of `element` (the nearest `levels`) that scroll sideways."""
    return driver.execute_script(
        """
        const found = [];
        let node = arguments[0].parentElement;
        for (let i = 0; node && i < arguments[1]; i++, node = node.parentElement) {
          const style = getComputedStyle(node);
          if (node.scrollWidth > node.clientWidth && style.overflowX !== "hidden") {
            found.push(node.className);
          }
        }
        return found;
        """,
        element,
        levels,
    )


def train(driver):
    find(driver, "//div[contains(@class, 'list-item')]")
    for box in driver.find_elements(By.XPATH, "//span[@title]/preceding-sibling::input"):
        name = box.find_element(By.XPATH, "following-sibling::span").get_attribute("title")
        if box.is_selected() != (name in TRAINED):
            box.click()
    ticked = driver.find_elements(By.XPATH, "//span[@title]/preceding-sibling::input")
    assert sum(box.is_selected() for box in ticked) == len(TRAINED)
    find(driver, "//button[normalize-space()='RUN']").click()
    find(driver, "//*[contains(text(), 'Method Running Done')]")


def test_every_page_renders_without_widget_errors(dashboard_url, browser, tmp_path):
    browser.get(dashboard_url)
    find(browser, "//*[contains(text(), 'Is Single Value')]")  # the integrity report
    settled(browser, "integrity", tmp_path)

    choose_check_type(browser, "Train Test Drift")
    find(browser, "//*[contains(text(), 'Train/test drift')]")  # the summary
    find(browser, "//img[starts-with(@src, 'data:image/png')]")  # the distance chart
    settled(browser, "drift", tmp_path)

    choose_check_type(browser, "Outlier Detection")
    train(browser)
    settled(browser, "method", tmp_path)

    find(browser, "//button[@data-value='Visualization']").click()
    methods = find(browser, "//select[option[@value='Select Method']]")
    offered = {option.get_attribute("value") for option in Select(methods).options}
    assert offered == {"Select Method", *TRAINED}
    find(browser, "//img[starts-with(@src, 'data:image/png')]")  # the score chart is drawn
    settled(browser, "visualization", tmp_path)

    find(browser, "//button[@data-value='Comparison']").click()
    compare = find(browser, "//button[normalize-space()='Compare']")
    assert overflowing_ancestors(browser, compare) == []
    first_row = find(browser, "//select[option[@value='Select Method']]")
    Select(first_row).select_by_value(TRAINED[0])
    compare.click()
    find(browser, "//img[starts-with(@src, 'data:image/png')]")  # the t-SNE chart
    WebDriverWait(browser, PAGE_SECONDS).until(
        lambda d: "Calculating t-SNE" not in d.execute_script("return document.body.innerText")
    )
    settled(browser, "comparison", tmp_path)
