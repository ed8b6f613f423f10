"""The page in a real browser (Debian's chromium and chromium-driver,
headless, through Selenium): a query of several words typed key by key with
a typo, the completions and videos it shows, the combobox's ARIA states
under the arrow keys, Enter, Esc and the pointer, and the page on a phone.
The query and what the page must show come from the index itself. The
screenshot goes to the test's folder and, for the demo index, to
$QUILLON_SCREENSHOT when set (the README's picture). Without a browser it
skips, or fails where QUILLON_REQUIRE_BROWSER=1 (CI). Heavy: the sanitizers'
run preloads AddressSanitizer into every child, which Chromium does not survive.
"""

from __future__ import annotations

import os
import re
import shutil
import string

import pytest

from quillon import Index
from quillon.cli import main
from search_logs import values_sql, write_table
from serving import running_server

pytestmark = pytest.mark.heavy

WAIT_SECONDS = 20
LIMIT = 10  # what the page asks for
SCREEN = (1100, 720)

# A small site whose catalogue has titles for all its videos but one.
TITLES = {
    "Rk7tUt0r1aL": "React tutorial for beginners",
    "h00kSin10mN": "React hooks in 10 minutes",
    "nAtIvEcRaSh": "React Native crash course",
    "mCletsPlay1": "Minecraft let's play, part 1",
    "SpEeDrUnWr0": "Minecraft speedrun world record",
    "cReMeBrUlEe": "Crème brûlée at home",
}
UNTITLED = "zzNoRow0000"
LOG = [
    ("react tutorial", "Rk7tUt0r1aL", 40), ("React tutorial for beginners", "Rk7tUt0r1aL", 25),
    ("react tutorial", UNTITLED, 6), ("react hooks", "h00kSin10mN", 30), ("react hooks tutorial", "h00kSin10mN", 8),
    ("react native", "nAtIvEcRaSh", 20), ("minecraft let's play", "mCletsPlay1", 35),
    ("minecraft speedrun", "SpEeDrUnWr0", 22), ("Crème brûlée", "cReMeBrUlEe", 12),
]  # fmt: skip


@pytest.fixture(scope="module")
def titled_index(tmp_path_factory):
    folder = tmp_path_factory.mktemp("titled")
    log = write_table(folder / "log.parquet", values_sql(LOG, ("term", "video_id", "count")))
    catalog = write_table(folder / "catalog.parquet", values_sql(TITLES.items(), ("video_id", "title")))
    assert main(["build", str(log), "--catalog", str(catalog), "-o", str(folder / "site.idx"), "--quiet"]) == 0
    assert [v.title for v in Index.open(folder / "site.idx").videos("react tutorial")] == [TITLES["Rk7tUt0r1aL"], None]
    return folder / "site.idx"


@pytest.fixture(params=["demo", "titled"])
def served_index(request):
    return request.param, request.getfixturevalue("example_index" if request.param == "demo" else "titled_index")


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
        f"--window-size={SCREEN[0]},{SCREEN[1] + 200}",
        "--force-device-scale-factor=1",
        f"--user-data-dir={tmp_path / 'chromium-profile'}",
    ):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(executable_path=shutil.which("chromedriver")), options=options)
    try:
        screen(driver, *SCREEN)
        yield driver
    finally:
        driver.quit()


def screen(driver, width, height, mobile=False):
    """The viewport, exactly (the window's size would include the browser's own bars)."""
    metrics = {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile}
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)


class Page:
    """Reads the page in single scripts: its lists are replaced whole when an answer comes."""

    def __init__(self, driver):
        self.driver = driver

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def text(self, selector):
        return self.js("const e = document.querySelector(arguments[0]); return e && e.textContent", selector)

    def attribute(self, selector, name):
        return self.js("return document.querySelector(arguments[0]).getAttribute(arguments[1])", selector, name)

    def options(self):
        return self.js(
            """return Array.from(document.querySelectorAll("#qs-listbox > *"), (o) => ({
                 id: o.id, role: o.getAttribute("role"), selected: o.getAttribute("aria-selected"),
                 typed: (o.querySelector(".qs-typed") || {}).textContent || "",
                 completed: (o.querySelector(".qs-completed") || {}).textContent || "",
                 typos: (o.querySelector(".qs-typos") || {}).textContent || null,
                 count: o.querySelector(".qs-count").title,
                 outline: getComputedStyle(o).outlineStyle}))"""
        )

    def videos(self):
        return self.js(
            """return Array.from(document.querySelectorAll("#qs-videos > li"), (v) => {
                 const title = v.querySelector(".qs-title"), fill = v.querySelector(".qs-bar > span");
                 return [v.dataset.id, title.textContent, /mono/i.test(getComputedStyle(title).fontFamily),
                         fill.getBoundingClientRect().width / fill.parentElement.getBoundingClientRect().width];
               })"""
        )

    def video_ids(self):
        return [video[0] for video in self.videos()]

    def wait(self, condition, what):
        from selenium.webdriver.support.ui import WebDriverWait

        WebDriverWait(self.driver, WAIT_SECONDS).until(lambda _driver: condition(), message=f"waiting for {what}")


def query_with_a_typo(index):
    """The start of a much searched completion of several words (of one word
    where the index has none), cut inside its last word, with two
    neighbouring letters swapped, as a user types it: the first such text
    whose first completion is that one, one typo away, and that leads to
    videos."""
    found = {c for start in ("", *string.ascii_lowercase) for c in index.complete(start, 100)}
    popular = [c.term for c in sorted(found, key=lambda c: (-c.count, c.term)) if len(c.term.split()[0]) >= 3]
    several = [(term, term[: term.index(" ") + 4].rstrip()) for term in popular if " " in term]
    for term, cut in several or [(term, term[:8]) for term in popular if len(term) >= 8]:
        for i in range(len(cut) - 1):
            if cut[i].isalpha() and cut[i + 1].isalpha() and cut[i] != cut[i + 1]:
                typed = cut[:i] + cut[i + 1] + cut[i] + cut[i + 2 :]
                answer = index.suggest(typed, LIMIT)
                if answer.videos and (answer.completions[0].term, answer.completions[0].edits) == (term, 1):
                    return typed
    raise AssertionError(f"{index.path}: no popular completion to misspell")


def shown_videos(index, text):
    return [v.id for v in index.suggest(text, LIMIT).videos]


def test_typing_a_query_with_a_typo_shows_completions_and_videos(browser, served_index, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    name, path = served_index
    index = Index.open(path)
    typed = query_with_a_typo(index)
    answer = index.suggest(typed, LIMIT)
    completions = answer.completions
    page = Page(browser)

    with running_server(["serve", str(path)], tmp_path / "server.log") as server:
        browser.get(server.url + "/")
        box = browser.find_element(By.ID, "q")
        assert browser.switch_to.active_element == box and box.get_attribute("placeholder")
        for key in typed:
            box.send_keys(key)
        page.wait(lambda: page.text("#qs-results-title") == f"Videos for “{typed}”", "the answer to the whole text")
        options = page.options()
        # The display text, its typed part apart from what completes it.
        assert [o["typed"] + o["completed"] for o in options] == [c.display for c in completions]
        for option, c in zip(options, completions):
            if len(c.display) == len(c.term):
                assert (option["typed"], option["completed"]) == (c.display[: c.covered], c.display[c.covered :])
            assert option["typos"] == (f"{c.edits} typo{'s' * (c.edits > 1)}" if c.edits else None)
            assert option["count"] == f"searched {c.count:,} times"
        videos = page.videos()
        assert [v[:3] for v in videos] == [[v.id, v.title or v.id, v.title is None] for v in answer.videos]
        assert videos[0][3] == pytest.approx(1, abs=0.02)  # the best fills its bar; the others are shorter
        assert all(a[3] >= b[3] for a, b in zip(videos, videos[1:]))
        status = page.text("#qs-status")
        assert re.fullmatch(r"\d+ videos? · up to \d typos? · server \d+\.\d\d ms · round trip \d+\.\d ms", status)

        # The combobox: its states as assistive technology reads them.
        listbox = f"#{page.attribute('#q', 'aria-controls')}"
        assert [page.attribute("#q", name) for name in ("role", "aria-autocomplete", "aria-expanded")] == ["combobox", "list", "true"]
        assert page.attribute(listbox, "role") == "listbox" and page.attribute("#q", "aria-activedescendant") is None
        assert {o["role"] for o in options} == {"option"} and {o["selected"] for o in options} == {"false"}
        assert page.attribute("#qs-live", "aria-live") == "polite"
        assert page.text("#qs-live") == f"{len(completions)} suggestion{'s' * (len(completions) > 1)}"

        # Down the list: each completion brings its own videos.
        panels = [shown_videos(index, typed)]
        for k in range(min(3, len(completions))):
            box.send_keys(Keys.ARROW_DOWN)
            options = page.options()
            assert page.attribute("#q", "aria-activedescendant") == options[k]["id"]
            assert [o["selected"] for o in options] == ["true" if j == k else "false" for j in range(len(options))]
            assert options[k]["outline"] == "solid"
            panels.append(shown_videos(index, completions[k].term))
            heading = f"Videos for “{completions[k].display}”"
            page.wait(lambda: page.text("#qs-results-title") == heading, f"the videos of {completions[k].term!r}")
            assert page.video_ids() == panels[-1]
            if k == 0:
                save_screenshot(browser, tmp_path / "quillon-serve.png", copy=name == "demo")
        assert len({tuple(panel) for panel in panels}) > 1, "the panel never changes: no test of following the list"

        box.send_keys(Keys.ESCAPE)
        assert page.attribute("#q", "aria-expanded") == "false" and page.attribute("#q", "aria-activedescendant") is None
        assert not browser.find_element(By.CSS_SELECTOR, listbox).is_displayed()
        page.wait(lambda: page.video_ids() == panels[0], "the videos of the typed text again")

        # Down opens the list again; Enter puts the completion in the box and closes it.
        box.send_keys(Keys.ARROW_DOWN, Keys.ENTER)
        assert box.get_attribute("value") == completions[0].display
        assert page.attribute("#q", "aria-expanded") == "false"
        page.wait(lambda: page.text("#qs-results-title") == f"Videos for “{completions[0].display}”", "the chosen text's answer")
        assert page.video_ids() == shown_videos(index, completions[0].display)

        # The pointer: a click chooses an option as Enter does.
        box.send_keys(Keys.CONTROL, "a")
        for key in typed:
            box.send_keys(key)
        page.wait(lambda: page.attribute("#q", "aria-expanded") == "true" and page.text("#qs-results-title").endswith(f"“{typed}”"), "the list")
        browser.find_elements(By.CSS_SELECTOR, f"{listbox} [role=option]")[-1].click()
        assert box.get_attribute("value") == completions[-1].display and page.attribute("#q", "aria-expanded") == "false"
        assert browser.switch_to.active_element == box

        # Esc on a closed list clears the box; text nothing is near says so.
        box.send_keys(Keys.ESCAPE)
        page.wait(lambda: page.text("#qs-results-title") == "Videos" and page.videos() == [], "the empty box")
        for key in "qxzvjq":
            box.send_keys(key)
        page.wait(lambda: page.text("#qs-note").startswith("No suggestion for “qxzvjq”"), "the empty state")
        assert page.options() == [] and page.attribute("#q", "aria-expanded") == "false"


def test_the_page_fits_a_phone(browser, titled_index, tmp_path):
    from selenium.webdriver.common.by import By

    typed = query_with_a_typo(Index.open(titled_index))
    page = Page(browser)
    screen(browser, 360, 740, mobile=True)
    with running_server(["serve", str(titled_index)], tmp_path / "server.log") as server:
        browser.get(server.url + "/")
        box = browser.find_element(By.ID, "q")
        for key in typed:
            box.send_keys(key)
        page.wait(lambda: page.text("#qs-results-title") == f"Videos for “{typed}”", "the answer")
        layout = page.js(
            """const box = (s) => document.querySelector(s).getBoundingClientRect();
               const rights = Array.from(document.querySelectorAll("#quillon *"), (e) => e.getBoundingClientRect().right);
               return {scroll: document.documentElement.scrollWidth, width: document.documentElement.clientWidth,
                       right: Math.max(...rights), list: box("#qs-listbox").bottom, videos: box("#qs-videos").top,
                       field: box("#q").width};"""
        )
        save_screenshot(browser, tmp_path / "quillon-serve-phone.png", copy=False)
    assert layout["width"] == 360 and layout["scroll"] <= layout["width"] and layout["right"] <= layout["width"]
    assert layout["videos"] > layout["list"] and layout["field"] > 250  # one column, the box as wide as it


def save_screenshot(browser, path, copy):
    assert browser.save_screenshot(str(path)) and path.stat().st_size > 10_000
    copy_to = os.environ.get("QUILLON_SCREENSHOT")
    if copy and copy_to:
        shutil.copyfile(path, copy_to)
