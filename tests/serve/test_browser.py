"""The live page in headless Chromium against `zyl --sim --sim-time-scale 20 serve`: controls move
the instrument, a run draws spectra and leaves its mzML; the figures go to serve-figures.json."""
import json
import os
import statistics
import tempfile
import time

import pytest
from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from harness import Server

ZYL = os.environ["ZYL"]
OUT = os.environ.get("ZYL_SERVE_ARTIFACTS", ".")


def browser():
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1600,1250", "--user-data-dir=" + tempfile.mkdtemp(prefix="zyl-chromium-")):
        options.add_argument(flag)
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options)


def wait_for(driver, script, timeout=30):
    return WebDriverWait(driver, timeout, poll_frequency=0.1).until(lambda d: d.execute_script(script))


def status(driver, key):
    return driver.execute_script("return window.zylStats.status && window.zylStats.status[%r]" % key)


@pytest.fixture(scope="module")
def session():
    folder = tempfile.mkdtemp(prefix="zyl-runs-")
    server = Server(ZYL, "--listen", "0.0.0.0:0", "--runs", folder)
    driver = browser()
    yield server, driver, folder
    driver.quit()
    assert server.stop() == 0


def test_page_runs_the_instrument(session):
    server, driver, folder = session
    local = server.url.replace("0.0.0.0", "127.0.0.1")
    driver.get(local + "#token=" + server.token)
    first = wait_for(driver, "return window.zylStats.firstValueMs")
    steps = [  # (button, condition on the status, seconds)
        ("[data-pump=on]", lambda: status(driver, "pressure_mbar") < 0.01, 60),
        ("#heater-capillary .set", lambda: status(driver, "capillary_setpoint_c") == 200, 10),
        ("#heater-capillary .switch", lambda: status(driver, "capillary_c") > 40, 60),
    ]
    start_pressure = status(driver, "pressure_mbar")
    for button, reached, seconds in steps:
        driver.find_element(By.CSS_SELECTOR, button).click()
        WebDriverWait(driver, seconds, poll_frequency=0.2).until(lambda d: reached())
    assert start_pressure > 0.01
    scans = driver.find_element(By.NAME, "scans")
    scans.clear()
    scans.send_keys("400")
    time_ms = driver.find_element(By.NAME, "time_ms")
    time_ms.clear()
    time_ms.send_keys("500")
    driver.find_element(By.ID, "runStart").click()
    wait_for(driver, "return window.zylStats.scans > 30", 60)
    count = driver.execute_script("return window.zylStats.scans")
    time.sleep(1)
    assert driver.execute_script("return window.zylStats.scans") > count
    colours = driver.execute_script("""
        const c = document.getElementById('spectrumChart'); const d = c.getContext('2d')
          .getImageData(0, 0, c.width, c.height).data; const seen = new Set();
        for (let i = 0; i < d.length; i += 16) seen.add(d[i] << 16 | d[i+1] << 8 | d[i+2]);
        return seen.size;""")
    assert colours > 1
    driver.save_screenshot(os.path.join(OUT, "serve-page.png"))
    draws = driver.execute_script("return window.zylStats.draws.slice(-21)")
    driver.find_element(By.ID, "runStop").click()
    wait_for(driver, "return document.getElementById('runstate').textContent.startsWith('run ')", 30)
    assert os.path.getsize(os.path.join(folder, "run.mzML")) > 1000
    assert not os.path.exists(os.path.join(folder, "run.mzML.partial"))
    latencies = driver.execute_script("return window.zylStats.latencies")
    figures = {"status_to_page_median_ms": statistics.median(latencies[-200:]),
               "spectrum_draws_per_s": (len(draws) - 1) * 1000 / (draws[-1] - draws[0]),
               "page_load_to_first_value_ms": first}
    with open(os.path.join(OUT, "serve-figures.json"), "w") as f:
        json.dump(figures, f, indent=1)
    print(figures)


def test_page_without_token_cannot_switch(session):
    server, _, _ = session
    other = browser()
    try:
        other.get(server.url.replace("0.0.0.0", "127.0.0.1"))
        wait_for(other, "return window.zylStats.status && window.zylStats.status.connected")
        before = other.execute_script("return window.zylStats.status.apci_on")
        for button in ("[data-pump=off]", "#heater-apci .switch"):
            other.find_element(By.CSS_SELECTOR, button).click()
            WebDriverWait(other, 5).until(lambda d: "token" in d.find_element(By.ID, "message").text)
        time.sleep(1.5)
        assert other.execute_script("return window.zylStats.status.apci_on") == before
        assert other.execute_script("return window.zylStats.status.pump_running")
    finally:
        other.quit()
