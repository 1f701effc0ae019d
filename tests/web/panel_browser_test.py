#!/usr/bin/env python3
"""The box panel in headless Chromium against `feedbox run --realtime --serve`: the page
loads without console errors, shows a card per slot of a two-box printer, and a spool
edited in its dialog reaches the box and comes back on the card.

Usage: panel_browser_test.py FEEDBOX_BINARY. Exit status 77 (skipped) when Chromium,
its driver or Selenium is missing on a developer's machine; in CI (CI set) that fails."""

import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading

SKIPPED = 77


def missing_tools():
    missing = [name for name in ('chromium', 'chromedriver') if not shutil.which(name)]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append('python3-selenium')
    return missing


def start_feedbox(binary, data_dir):
    process = subprocess.Popen(
        [binary, 'run', '--realtime', '--boxes', '2', '--settle', '0', '--serve', '0',
         '--after', '600', '--data-dir', data_dir],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = queue.Queue()

    def pump(stream):
        for line in stream:
            lines.put(line)
    for stream in (process.stdout, process.stderr):
        threading.Thread(target=pump, args=(stream,), daemon=True).start()
    while True:
        try:
            line = lines.get(timeout=60)
        except queue.Empty:
            process.kill()
            sys.exit('feedbox did not announce its panel within 60 s')
        if 'box panel at ' in line:
            return process, line.split('box panel at ')[1].split()[0]


def main():
    binary = sys.argv[1]
    missing = missing_tools()
    if missing:
        message = 'the browser test needs %s (scripts/install-deps installs them)' % ', '.join(missing)
        if os.environ.get('CI'):
            sys.exit('FAIL: ' + message)
        print('SKIP: ' + message)
        return SKIPPED

    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ready
    from selenium.webdriver.support.ui import WebDriverWait

    with tempfile.TemporaryDirectory() as data_dir:
        process, url = start_feedbox(binary, data_dir)
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which('chromium')
        for argument in ('--headless=new', '--no-sandbox', '--disable-gpu',
                         '--disable-dev-shm-usage', '--window-size=1280,1600'):
            options.add_argument(argument)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        driver = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=options)
        try:
            # The page draws a part again when the box's status changes under it.
            wait = WebDriverWait(driver, 60, ignored_exceptions=[StaleElementReferenceException])
            driver.get(url)
            labels = ['1A', '1B', '1C', '1D', '2A', '2B', '2C', '2D']
            wait.until(lambda d: [e.get_attribute('data-slot') for e in
                                  d.find_elements(By.CSS_SELECTOR, '.slot')] == labels)
            assert driver.find_element(By.ID, 'connection').text == 'connected'

            wait.until(lambda d: d.find_element(
                By.CSS_SELECTOR, '.slot[data-slot="2B"] button').click() or True)
            form = wait.until(ready.visibility_of_element_located((By.ID, 'spool-form')))
            material = form.find_element(By.NAME, 'filament')
            material.clear()
            material.send_keys('PETG')
            driver.find_element(By.ID, 'spool-save').click()
            # The box saves the spool, its status reports it, and the card shows it.
            wait.until(lambda d: 'PETG' in d.find_element(
                By.CSS_SELECTOR, '.slot[data-slot="2B"]').text)

            errors = [entry for entry in driver.get_log('browser') if entry['level'] == 'SEVERE']
            assert not errors, errors
        finally:
            driver.quit()
            process.kill()
            process.wait()
    print('panel: 8 slot cards, spool of 2B set to PETG from its dialog, no console errors')
    return 0


if __name__ == '__main__':
    sys.exit(main())
