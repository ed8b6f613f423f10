"""The page in a real browser (Debian's chromium and chromium-driver,
headless, through Selenium): typing a misspelt word key by key, the arrow
keys and Enter. The screenshot goes to the test's folder and to
$QUILLON_SCREENSHOT when set (the README's picture). Without a browser it
skips, or fails where QUILLON_REQUIRE_BROWSER=1 (CI). Heavy: the sanitizers'
run preloads AddressSanitizer into every child, which Chromium does not survive.
"""

from __future__ import annotations

import os
import re
import shutil

import pytest

from quillon import Index
from serving import running_server

pytestmark = pytest.mark.heavy

TYPED = "mothr"  # "mother" and "moth", one edit away
WAIT_SECONDS = 20


def browser_or_skip():
    missing = [name for name in ("chromium", "chromedriver") if shutil.which(name) is None]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("the Python package selenium")
    if missing:
        reason = f"no {', '.join(missing)}: apt-get install chromium chromium-driver; pip install '.[test]'"
        if os.environ.get("QUILLON_REQUIRE_BROWSER") == "1":
            pytest.fail(f"QUILLON_REQUIRE_BROWSER=1, but {reason}")
        pytest.skip(reason)


@pytest.fixture
def browser(tmp_path):
    browser_or_skip()
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in (
        "--headless=new",
        "--no-sandbox",  # CI runs as root
        "--disable-dev-shm-usage",
        "--disable-gpu",
        "--window-size=1100,720",
        "--force-device-scale-factor=1",
        f"--user-data-dir={tmp_path / 'chromium-profile'}",
    ):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(executable_path=shutil.which("chromedriver")), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def test_typing_a_misspelt_word_shows_terms_and_videos(browser, example_index, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    index = Index.open(example_index)
    terms = [match.term for match in index.terms(TYPED)]
    videos = [match.id for match in index.videos(TYPED)]
    assert "mother" in terms[:4] and videos

    def texts(selector):
        # Read in one go: the lists are replaced whole when an answer comes.
        script = "return Array.from(document.querySelectorAll(arguments[0]), (e) => e.textContent)"
        return browser.execute_script(script, selector)

    def selected():
        return texts("#terms li[aria-selected=true] .term")

    def wait(condition, what):
        WebDriverWait(browser, WAIT_SECONDS).until(lambda _driver: condition(), message=f"waiting for {what}")

    with running_server(["serve", str(example_index)], tmp_path / "server.log") as server:
        browser.get(server.url + "/")
        box = browser.find_element(By.ID, "q")
        assert box.get_attribute("placeholder") and browser.switch_to.active_element == box
        for key in TYPED:
            box.send_keys(key)
        wait(lambda: f"“{TYPED}”" in texts("#status")[0], "the answer to the whole word")
        assert texts("#terms .term") == terms
        assert texts("#terms .dist")[terms.index("mother")] == "1 edit"
        assert texts("#videos .video") == videos
        assert re.fullmatch(r"server \d+\.\d\d ms · round trip \d+\.\d ms", texts("#timing")[0])

        box.send_keys(Keys.ARROW_DOWN)
        assert selected() == terms[:1]
        for _ in range(terms.index("mother")):
            box.send_keys(Keys.ARROW_DOWN)
        box.send_keys(Keys.ARROW_DOWN, Keys.ARROW_UP)
        assert selected() == ["mother"]
        assert box.get_attribute("aria-activedescendant") == f"term-{terms.index('mother')}"
        save_screenshot(browser, tmp_path / "quillon-serve.png")

        box.send_keys(Keys.ENTER)
        assert box.get_attribute("value") == "mother"
        wait(lambda: texts("#terms .term")[:1] == ["mother"], "the answer to the picked term")
        assert texts("#terms .dist")[0] == "exact" and selected() == []

        box.send_keys(Keys.CONTROL, "a")
        for key in "qxzvj":
            box.send_keys(key)
        wait(lambda: "No stored term" in texts("#terms-empty")[0], "the empty state")
        assert texts("#terms .term") == []


def save_screenshot(browser, path):
    assert browser.save_screenshot(str(path)) and path.stat().st_size > 10_000
    copy_to = os.environ.get("QUILLON_SCREENSHOT")
    if copy_to:
        shutil.copyfile(path, copy_to)
