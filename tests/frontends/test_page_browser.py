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


def test_page_id_mode_frames_a_document_shows_its_guides_and_checks_and_downloads(serve_process, repository, chrome,
                                                                                 tmp_path):
    from PIL import Image
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select

    with serve_process("--workers", "1", cwd=tmp_path) as live:
        chrome.get(live.url + "/")
        chrome.find_element(By.ID, "mode-id").click()
        documents = chrome.find_element(By.ID, "id-document")
        wait_for(lambda: documents.get_attribute("data-ready") == "true")
        assert not chrome.find_element(By.ID, "go").is_displayed()  # the cut-out mode is out of the way
        every = len(Select(documents).options)
        search = chrome.find_element(By.ID, "id-search")
        search.send_keys("uk passport")
        listed = [o.get_attribute("value") for o in Select(documents).options]
        assert listed == ["uk-passport", "uk-online"] and every >= 20  # the search narrowed the whole table
        search.clear()
        search.send_keys("visa")
        assert {o.get_attribute("value") for o in Select(documents).options} >= {"us-visa", "schengen-visa", "ru-visa"}
        search.send_keys(Keys.CONTROL, "a", Keys.BACKSPACE)
        search.send_keys("uk-pass")
        assert documents.get_attribute("value") == "uk-passport"
        assert "29–34 mm" in chrome.find_element(By.ID, "id-rules").text

        chrome.find_element(By.ID, "id-photo").send_keys(str(repository / "samples" / "astronaut.png"))
        shown = chrome.find_element(By.ID, "id-overlay")
        wait_for(lambda: shown.get_attribute("data-ready") == "true")
        assert chrome.execute_script("const i = arguments[0]; return [i.naturalWidth, i.naturalHeight];", shown) == [413, 531]
        rows = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
                for row in chrome.find_elements(By.CSS_SELECTOR, "#id-checks tbody tr")]
        rules = {row[0]: row for row in rows}
        assert {"head height", "centring", "residual roll", "yaw", "sharpness"} <= set(rules)
        assert all(row[3] in ("pass", "fail") and row[1] and row[2] for row in rows)
        assert ("Every rule passes" in chrome.find_element(By.ID, "id-status").text) == all(r[3] == "pass" for r in rows)

        link = chrome.find_element(By.ID, "id-download")
        assert link.get_attribute("download") == "astronaut_uk-passport.jpg"
        link.send_keys(Keys.ENTER)
        Select(chrome.find_element(By.ID, "id-sheet")).select_by_value("A4")
        chrome.find_element(By.ID, "id-download-sheet").click()
        photo = chrome.downloads / "astronaut_uk-passport.jpg"
        sheet = chrome.downloads / "astronaut_uk-passport_sheet_A4.jpg"
        wait_for(lambda: photo.exists() and sheet.exists() and not list(chrome.downloads.glob("*.crdownload")))
        with Image.open(photo) as written:
            assert (written.format, written.size) == ("JPEG", (413, 531))
            assert written.info["dpi"] == pytest.approx((300, 300), abs=0.01)
        with Image.open(sheet) as paper:
            assert sorted(paper.size) == [round(210 / 25.4 * 300), round(297 / 25.4 * 300)]
            assert paper.info["dpi"] == pytest.approx((300, 300), abs=0.01)
        shots = repository / "docs" / "images" if os.environ.get("PORTRAIT_SCREENSHOTS") else tmp_path
        chrome.execute_script("window.scrollTo(0, 0); document.activeElement.blur();")
        assert chrome.save_screenshot(str(shots / "server_page_id.png"))


def test_page_cuts_out_a_heic_photograph(serve_process, repository, chrome, tmp_path):
    """A phone's own format: the browser cannot show it, the service reads it."""
    from PIL import Image
    from selenium.webdriver.common.by import By

    from portrait_studio.core import imageio

    imageio.pillow()  # the HEIF saver registered
    photo = tmp_path / "IMG_0001.heic"
    Image.open(repository / "samples" / "astronaut.png").convert("RGB").resize((320, 240)).save(photo, quality=90)
    with serve_process("--workers", "1", cwd=tmp_path) as live:
        chrome.get(live.url + "/")
        assert ".heic" in chrome.find_element(By.ID, "photo").get_attribute("accept")
        chrome.find_element(By.ID, "photo").send_keys(str(photo))
        wait_for(lambda: chrome.find_element(By.ID, "cutout").get_attribute("data-ready") == "true")
        assert "ready" in chrome.find_element(By.ID, "status").text
        shown = chrome.execute_script("const i = document.getElementById('cutout'); return [i.naturalWidth, i.naturalHeight];")
        assert shown == [320, 240]


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
