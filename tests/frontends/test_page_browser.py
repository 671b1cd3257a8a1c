"""The page in a real browser: Debian's headless chromium, driven by Selenium
through Debian's chromedriver (nothing downloaded). It chooses the sample,
picks a size, waits for the cut-out and downloads it.

With PORTRAIT_SCREENSHOTS=1 the screenshot replaces docs/images/server_page.png
(the README's); otherwise it goes to the test's temporary folder.
"""

from __future__ import annotations

import os
import shutil
import time
from pathlib import Path

import cv2
import numpy as np
import pytest


def browser_or_skip():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        pytest.skip("selenium is not installed (pip install 'portrait-main[test]')")
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver") or "/usr/lib/chromium/chromedriver"
    if not browser or not Path(driver).exists():
        pytest.skip("no chromium with chromedriver: apt-get install chromium chromium-driver (.ci/run does)")
    return webdriver, Service, browser, driver


@pytest.fixture
def chrome(tmp_path):
    webdriver, Service, browser, driver = browser_or_skip()
    downloads = tmp_path / "downloads"
    downloads.mkdir()
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1200", "--disable-gpu"):
        options.add_argument(flag)
    options.add_experimental_option(
        "prefs", {"download.default_directory": str(downloads), "download.prompt_for_download": False}
    )
    # An explicit driver path: Selenium then never tries to fetch one. The
    # browser is none of ours: it runs without the sanitizer runtimes that
    # the sanitizer runs preload into every process they start.
    plain = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    session = webdriver.Chrome(service=Service(executable_path=driver, env=plain), options=options)
    session.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
    session.downloads = downloads
    try:
        yield session
    finally:
        session.quit()


def wait_for(condition, timeout=60, every=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(every)
    raise AssertionError(f"gave up waiting after {timeout} s")


def test_page_cuts_out_the_sample_and_downloads_it(serve_process, repository, chrome, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select

    with serve_process("--workers", "1", cwd=tmp_path) as live:
        chrome.get(live.url + "/")
        assert chrome.title.startswith("portrait-main")
        Select(chrome.find_element(By.ID, "size")).select_by_value("413x531")
        light_blue = chrome.find_element(By.CSS_SELECTOR, "input[name=background][value='#add8e6']")
        light_blue.send_keys(Keys.SPACE)  # keyboard, not a click
        assert light_blue.is_selected()
        chrome.find_element(By.ID, "photo").send_keys(str(repository / "samples" / "astronaut.png"))
        wait_for(lambda: chrome.find_element(By.ID, "cutout").get_attribute("data-ready") == "true")
        assert "ready" in chrome.find_element(By.ID, "status").text
        shown = chrome.execute_script("const i = document.getElementById('cutout'); return [i.naturalWidth, i.naturalHeight];")
        assert shown == [413, 531]

        link = chrome.find_element(By.ID, "download")
        assert link.get_attribute("download") == "astronaut_cutout.png"
        link.send_keys(Keys.ENTER)
        target = chrome.downloads / "astronaut_cutout.png"
        wait_for(lambda: target.exists() and target.stat().st_size > 0 and not list(chrome.downloads.glob("*.crdownload")))
        picture = cv2.imdecode(np.frombuffer(target.read_bytes(), np.uint8), cv2.IMREAD_UNCHANGED)
        assert picture.shape == (531, 413, 3)
        # Letterboxed on the chosen colour: the border rows are light blue (B, G, R).
        assert tuple(int(v) for v in picture[0, 0]) == (230, 216, 173)

        shots = repository / "docs" / "images" if os.environ.get("PORTRAIT_SCREENSHOTS") else tmp_path
        chrome.execute_script("window.scrollTo(0, 0); document.activeElement.blur();")
        assert chrome.save_screenshot(str(shots / "server_page.png"))


def test_page_puts_the_person_on_an_uploaded_background_picture(serve_process, repository, chrome, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    # Two colours, left and right: covering a taller output crops its sides, so both halves still show.
    picture = np.zeros((300, 400, 3), np.uint8)
    picture[:, :200], picture[:, 200:] = (40, 170, 60), (200, 60, 30)
    beach = tmp_path / "beach.png"
    assert cv2.imwrite(str(beach), picture)
    with serve_process("--workers", "1", cwd=tmp_path) as live:
        chrome.get(live.url + "/")
        Select(chrome.find_element(By.ID, "size")).select_by_value("413x531")
        chrome.find_element(By.ID, "background-picture").send_keys(str(beach))
        assert chrome.find_element(By.ID, "picture-choice").is_selected()
        chrome.find_element(By.ID, "photo").send_keys(str(repository / "samples" / "astronaut.png"))
        wait_for(lambda: chrome.find_element(By.ID, "cutout").get_attribute("data-ready") == "true")
        assert "ready" in chrome.find_element(By.ID, "status").text
        assert chrome.find_element(By.ID, "cutout").get_attribute("alt") == "The cut-out on beach.png"
        # The picture's pixels as the browser decoded them, read back through a canvas.
        corners = chrome.execute_script("""
            const image = document.getElementById('cutout'), canvas = document.createElement('canvas');
            canvas.width = image.naturalWidth; canvas.height = image.naturalHeight;
            const context = canvas.getContext('2d');
            context.drawImage(image, 0, 0);
            const at = (x, y) => Array.from(context.getImageData(x, y, 1, 1).data.slice(0, 3));
            return [canvas.width, canvas.height, at(0, 0), at(canvas.width - 1, 0)];
        """)
    width, height, top_left, top_right = corners
    assert (width, height) == (413, 531)
    # Covered, not letterboxed on a plain colour: the corners are the picture's (R, G, B here).
    assert top_left == [60, 170, 40] and top_right == [30, 60, 200]
