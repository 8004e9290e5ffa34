#!/usr/bin/env python3
"""Loads zurid serve's web page COUNT times in one headless Chromium, one after the other, each
until the overview shows its cards, and prints "page loads: N in S s, M failed".
Usage: page_loads.py URL COUNT [CARDS]   (CARDS: how many sensor cards make a page loaded)"""
import os
import shutil
import sys
import tempfile
import time

SYSTEM_PYTHON = "/usr/bin/python3"  # where Debian's python3-selenium lives
try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    if os.path.exists(SYSTEM_PYTHON) and not os.environ.get("ZURID_REEXEC"):
        os.environ["ZURID_REEXEC"] = "1"
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    print("page loads: selenium missing")
    sys.exit(1)

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def main():
    url, count = sys.argv[1], int(sys.argv[2])
    cards = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    work = tempfile.mkdtemp(prefix="zurid-loads-")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in FLAGS + [f"--user-data-dir={work}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    loaded = "return document.querySelectorAll('article.card .readout dd').length >= " \
             f"{3 * cards} && document.getElementById('link').classList.contains('link-open')"
    failed = 0
    start = time.monotonic()
    try:
        for _ in range(count):
            try:
                driver.get(url)
                WebDriverWait(driver, 10, poll_frequency=0.02).until(
                    lambda d: d.execute_script(loaded))
            except WebDriverException:
                failed += 1
    finally:
        driver.quit()
        shutil.rmtree(work, ignore_errors=True)
    print(f"page loads: {count} in {time.monotonic() - start:.1f} s, {failed} failed", flush=True)


if __name__ == "__main__":
    main()
