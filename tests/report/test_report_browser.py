"""The demo report rendered in headless Chromium: every figure loads sharp, every link lands."""

import shutil

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

# For each image: loaded, its pixel width against its shown width; for each in-page link:
# whether its target exists.
PROBE = """
const images = [...document.images].map(i => [i.complete && i.naturalWidth > 0,
                                             i.naturalWidth / i.clientWidth, i.alt]);
const links = [...document.querySelectorAll("a[href^='#']")]
    .map(a => [a.getAttribute('href'), !!document.getElementById(a.hash.slice(1))]);
return [images, links, document.querySelectorAll('nav li').length];
"""


@pytest.fixture
def browser(headless_chromium):
    return headless_chromium("1300,1600", PAGE_SECONDS)


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
    assert browser.save_screenshot(str(tmp_path / "report.png"))
