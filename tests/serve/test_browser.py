"""The live page in headless Chromium against `zyl --sim --sim-time-scale 20 serve`: its controls move
the instrument, a run draws spectra and leaves its mzML, a page without the token switches nothing.
Leaves serve-page.png and serve-figures.json (the page's own measurements) in ZYL_SERVE_ARTIFACTS."""
import json
import os
import shutil
import signal
import statistics
import tempfile

import pytest

webdriver = pytest.importorskip("selenium.webdriver")
if not shutil.which("chromedriver") or not shutil.which("chromium"):
    pytest.skip("chromium and chromium-driver are not installed", allow_module_level=True)
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from harness import Server

ZYL = os.environ["ZYL"]
OUT = os.environ.get("ZYL_SERVE_ARTIFACTS", ".")


def browser():
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1500,1100", "--user-data-dir=" + tempfile.mkdtemp(prefix="zyl-chromium-")):
        options.add_argument(flag)
    return webdriver.Chrome(options=options)


def until(driver, script, seconds=60):
    return WebDriverWait(driver, seconds, poll_frequency=0.1).until(lambda d: d.execute_script(script))


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
    driver.get(server.local + "#token=" + server.token)
    first = until(driver, "return zylStats.firstValueMs")
    assert until(driver, "return zylStats.status.pressure_mbar") > 1
    steps = [  # what to press, then what the page must come to show
        ("[data-pump=on]", "return zylStats.status.pressure_mbar < 1e-3"),
        ("#heater-capillary .set", "return zylStats.status.capillary_setpoint_c == 200"),
        ("#heater-capillary .switch", "return zylStats.status.capillary_c > 60"),
    ]
    for button, shown in steps:
        driver.find_element(By.CSS_SELECTOR, button).click()
        until(driver, shown)
    for name, value in (("time_ms", "2999"), ("scans", "100000")):  # 21,599 points a scan
        field = driver.find_element(By.NAME, name)
        field.clear()
        field.send_keys(value)
    driver.find_element(By.ID, "runStart").click()
    until(driver, "return zylStats.scans > 5")
    until(driver, "return zylStats.scans > %d" % driver.execute_script("return zylStats.scans"))
    colours = driver.execute_script("""
        const c = document.getElementById('spectrumChart'), d = c.getContext('2d')
          .getImageData(0, 0, c.width, c.height).data, seen = new Set();
        for (let i = 0; i < d.length; i += 4) seen.add(d[i] << 16 | d[i + 1] << 8 | d[i + 2]);
        return seen.size;""")
    assert colours > 1
    assert driver.execute_script("return zylStats.points") == 21599
    drawn = driver.execute_async_script("zylMeasureDraws(20, true).then(arguments[0])")
    fetched = driver.execute_async_script("zylMeasureDraws(20, false).then(arguments[0])")
    driver.save_screenshot(os.path.join(OUT, "serve-page.png"))
    driver.find_element(By.ID, "runStop").click()
    until(driver, "return document.getElementById('runstate').textContent == 'run stopped'")
    assert os.path.getsize(os.path.join(folder, "run.mzML")) > 10000
    for plugged in ("false", "true"):  # SIGUSR1 pulls the simulated cable, the next one plugs it in
        server.proc.send_signal(signal.SIGUSR1)
        until(driver, "return zylStats.status.connected == %s && document.getElementById('gone').hidden == %s"
              % (plugged, plugged))
    figures = {"status_to_page_median_ms": statistics.median(driver.execute_script("return zylStats.latencies")),
               "spectra_drawn_per_s": drawn, "spectra_fetched_per_s_without_drawing": fetched,
               "page_load_to_first_live_value_ms": first}
    with open(os.path.join(OUT, "serve-figures.json"), "w") as f:
        json.dump(figures, f, indent=1)
    print(figures)


def test_page_without_the_token_switches_nothing(session):
    server, _, _ = session
    other = browser()
    try:
        other.get(server.local)
        until(other, "return zylStats.status && zylStats.status.pump_running")
        for button in ("[data-pump=off]", "#heater-apci .switch", "#runStart"):
            other.find_element(By.CSS_SELECTOR, button).click()
            WebDriverWait(other, 5).until(lambda d: "token" in d.find_element(By.ID, "message").text)
        status = json.loads(server.request("GET", "/api/status")[1])
        assert status["pump_running"] and not status["apci_on"] and not status["run_active"]
    finally:
        other.quit()
