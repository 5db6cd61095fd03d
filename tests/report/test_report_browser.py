"""The report rendered in headless Chromium: every figure loads sharp, every link lands, every
column has its card and the contents stay in view while the page scrolls."""

import os
import shutil

import numpy as np
import pandas as pd
import pytest

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")

from kova.__main__ import main  # noqa: E402

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and DRIVER),
    reason="Debian's chromium and chromium-driver are missing "
    "(apt-get install -y chromium chromium-driver, or .ci/browsers)",
)
PAGE_SECONDS = 60
# Where the screenshots are kept for a reader to look at (a test's temporary folder if unset).
SCREENSHOTS = os.environ.get("KOVA_SCREENSHOTS")

# For each image: loaded, its pixel width against its shown width; for each in-page link:
# whether its target exists.
PROBE = """
const images = [...document.images].map(i => [i.complete && i.naturalWidth > 0,
                                             i.naturalWidth / i.clientWidth, i.alt]);
const links = [...document.querySelectorAll("a[href^='#']")]
    .map(a => [a.getAttribute('href'), !!document.getElementById(a.hash.slice(1))]);
return [images, links, document.querySelectorAll('nav li').length];
"""
# The cards' column names, then the contents' box after scrolling to the given height.
CARDS = "return [...document.querySelectorAll('.card')].map(c => c.dataset.column);"
NAV_AFTER_SCROLL = """
window.scrollTo(0, arguments[0]);
const box = document.querySelector('nav.contents').getBoundingClientRect();
return [window.scrollY, box.top, box.bottom, window.innerHeight];
"""


@pytest.fixture
def browser(headless_chromium):
    return headless_chromium("1300,1600", PAGE_SECONDS)


def screenshot_path(tmp_path, name):
    folder = tmp_path if SCREENSHOTS is None else os.path.abspath(SCREENSHOTS)
    os.makedirs(folder, exist_ok=True)
    return os.path.join(folder, name)


def test_demo_report_in_a_browser(browser, tmp_path):
    page = tmp_path / "report.html"
    assert main(["-o", str(page), "--quiet"]) == 0
    browser.get(page.as_uri())
    images, links, contents = browser.execute_script(PROBE)
    assert len(images) >= 6 and all(loaded and alt for loaded, _, alt in images)
    # at least 1.5 image pixels per CSS pixel: sharp on a high-density screen
    assert min(ratio for _, ratio, _ in images) >= 1.5
    broken = [href for href, found in links if not found]
    assert broken == [] and len(links) > contents >= 10  # contents and alert links
    assert browser.save_screenshot(screenshot_path(tmp_path, "report.png"))


def wide_frame(n_rows=2000, n_columns=50, seed=0):
    """Numbers, categories and text in turn, some with missing cells."""
    rng = np.random.default_rng(seed)
    columns = {}
    for i in range(n_columns):
        if i % 3 == 0:
            values = pd.Series(rng.normal(i, 1 + i % 5, size=n_rows))
        elif i % 3 == 1:
            values = pd.Series(rng.choice([f"level {k}" for k in range(2 + i % 12)], size=n_rows))
        else:
            values = pd.Series(
                [f"comment {k} " * (1 + k % 7) for k in rng.integers(0, 10**6, n_rows)]
            )
        values[rng.random(n_rows) < (i % 4) * 0.02] = None
        columns[f"column_{i:02d}"] = values
    return pd.DataFrame(columns)


def test_fifty_column_page_has_a_card_per_column_and_contents_in_view(browser, tmp_path):
    frame = wide_frame()
    csv, page = tmp_path / "wide.csv", tmp_path / "wide.html"
    frame.to_csv(csv, index=False)
    assert main(["report", str(csv), "-o", str(page), "--quiet", "--jobs", "1"]) == 0
    browser.get(page.as_uri())
    assert browser.execute_script(CARDS) == list(frame.columns)
    browser.execute_script("document.getElementById('columns').scrollIntoView();")
    assert browser.save_screenshot(screenshot_path(tmp_path, "wide-columns.png"))
    for height in (1500, 6000):
        scrolled, top, bottom, view = browser.execute_script(NAV_AFTER_SCROLL, height)
        assert scrolled >= height * 0.9  # the page is long enough to scroll there
        assert 0 <= top < view and bottom > top + 100  # the contents stay on screen
    assert browser.save_screenshot(screenshot_path(tmp_path, "wide-scrolled.png"))
