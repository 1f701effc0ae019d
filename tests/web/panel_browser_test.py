#!/usr/bin/env python3
"""The box panel in headless Chromium against `feedbox run --realtime --serve`, as a user
goes through it: the page names the simulator and shows a card per slot of a two-box
printer; a spool edited in its dialog reaches the box and comes back on the card; the
pre-flight table of a print file offers the slot that holds the planned spool and one click
maps the tool to it; a jam injected with the simulator's button makes a load fail, and the
error shows with its Retry, Explain and Fixed-by-hand buttons; with the jam cleared, Retry
heats the nozzle and the load runs to the end, on the slot's card and on the path strip;
no console error on the way; and when feedbox ends, the page says that the connection is
lost.

The nozzle heats from the start, since a retry waits for it (about 2.5 min on the real clock).

Usage: panel_browser_test.py FEEDBOX_BINARY [--screenshot PNG]. Exit status 77 (skipped)
when Chromium, its driver or Selenium is missing on a developer's machine; in CI (CI set)
that fails."""

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
         '--after', '900', '--data-dir', data_dir, '-c', 'M104 S230'],
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


PRINT_FOLDER = 'home/zur/printer_data/gcodes'


def main():
    binary = sys.argv[1]
    screenshot = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == '--screenshot' else None
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
    from selenium.webdriver.support.ui import Select, WebDriverWait

    with tempfile.TemporaryDirectory() as data_dir:
        os.makedirs(os.path.join(data_dir, PRINT_FOLDER))
        # Tool 0 (slot 1A until mapped) is planned as the white PETG of slot 2B.
        with open(os.path.join(data_dir, PRINT_FOLDER, 'part.gcode'), 'w') as f:
            f.write('; filament_type = PETG\n; filament_colour = #FFFFFF\nT0\nG1 X10\n')
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
            assert 'feedbox simulator' in driver.find_element(By.ID, 'printer').text

            def text_of(selector):
                return driver.find_element(By.CSS_SELECTOR, selector).text

            def card_loaded(label):
                card = driver.find_element(By.CSS_SELECTOR, '.slot[data-slot="%s"]' % label)
                return 'loaded' in card.get_attribute('class').split()

            def gcode(line):
                driver.execute_script('sendGcode(arguments[0])', line)

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

            # Pre-flight: 1A holds red PLA, the file plans white PETG for T0, which 2B holds.
            gcode('BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=FF0000')
            wait.until(lambda d: 'PLA' in text_of('.slot[data-slot="1A"]'))
            driver.find_element(By.ID, 'preflight-file').send_keys('part.gcode')
            driver.find_element(By.ID, 'preflight-check').click()
            row = '#preflight-table tr[data-tool="0"]'
            wait.until(lambda d: 'FAIL' in text_of(row) and 'PETG #FFFFFF' in text_of(row))
            wait.until(lambda d: d.find_element(
                By.CSS_SELECTOR, row + ' button[data-map-tool="0"]').click() or True)
            wait.until(lambda d: 'OK' in text_of(row) and '2B' in text_of(row))
            assert 'T5' in text_of('.slot[data-slot="2B"]') and 'T0' in text_of('.slot[data-slot="2B"]')

            # A jam in slot 1C, injected with the simulator's button, fails the load.
            Select(driver.find_element(By.ID, 'sim-slot')).select_by_visible_text('1C')
            driver.find_element(By.CSS_SELECTOR, '#sim-form button[data-sim$="jam"]').click()
            wait.until(lambda d: 'JAMMED' in text_of('#world'))
            gcode('EXTRUDER_LOAD SLOT=1C')
            error = wait.until(ready.visibility_of_element_located((By.ID, 'error')))
            assert text_of('#error-code'), error.text
            assert 'Slot 1C' in text_of('#error-slot')
            for button in ('retry', 'explain', 'cleared'):
                assert driver.find_element(By.ID, button).is_displayed(), button
            assert driver.find_element(By.ID, 'retry').is_enabled()
            driver.find_element(By.ID, 'explain').click()
            wait.until(lambda d: 'TRY_MOVE_AGAIN' in d.find_element(By.ID, 'log').text.split(
                '> BOX_ERROR_HELP')[-1])
            # Not loaded: neither the card nor the strip shows 1C in the extruder.
            assert not card_loaded('1C')
            assert 'slot 1C' not in text_of('#path li[data-station="Extruder"]')

            # Jam cleared, Retry: the nozzle heats, the load runs to its end.
            driver.find_element(By.CSS_SELECTOR, '#sim-form button[data-sim$="clear"]').click()
            wait.until(lambda d: 'JAMMED' not in text_of('#world'))
            driver.find_element(By.ID, 'retry').click()
            slow = WebDriverWait(driver, 300, ignored_exceptions=[StaleElementReferenceException])
            slow.until(lambda d: 'slot 1C' in text_of('#path li[data-station="Extruder"]'))
            wait.until(lambda d: card_loaded('1C') and 'In the extruder' in text_of(
                '.slot[data-slot="1C"]'))
            assert 'slot 1C' in text_of('#path li[data-station="Tube"]')
            wait.until(lambda d: not d.find_element(By.ID, 'error').is_displayed()
                       or not d.find_element(By.ID, 'retry').is_enabled())
            wait.until(lambda d: 'Repeated the failed step' in d.find_element(By.ID, 'log').text)
            assert text_of('#error h2').startswith('Last box error')
            if screenshot:
                driver.execute_script('window.scrollTo(0, 0)')
                driver.save_screenshot(screenshot)

            errors = [entry for entry in driver.get_log('browser') if entry['level'] == 'SEVERE']
            assert not errors, errors

            # feedbox ends: the page says so, over what it showed before.
            process.kill()
            process.wait()
            wait.until(lambda d: d.find_element(By.ID, 'lost').is_displayed())
            assert 'Connection to feedbox simulator lost' in text_of('#lost')
        except Exception:
            # What the page showed when it failed.
            print(driver.find_element(By.TAG_NAME, 'main').text)
            raise
        finally:
            driver.quit()
            process.kill()
            process.wait()
    print('panel: 8 slot cards, spool of 2B set to PETG, T0 mapped to 2B from the pre-flight '
          'table, jammed load of 1C failed, retried after clearing and loaded, no console '
          'errors, lost connection shown')
    return 0


if __name__ == '__main__':
    sys.exit(main())
