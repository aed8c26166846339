"""The service's page in a real headless Chromium: upload a recording, read the chart and verdict from the DOM,
see a posted episode appear by itself, and keep a screenshot (build/test-artifacts/service-page.png)."""

import json
import shutil
import urllib.request

import pytest

import ctg_synth
from conftest import ROOT

pytest.importorskip("uvicorn", reason="the service extra is not installed: pip install 'pulsequill[service]'")
webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed: pip install selenium")

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from pulsequill import analyze_csv_string, analyze_json_string  # noqa: E402
from pulsequill.events import window_events  # noqa: E402
from service_support import running_service  # noqa: E402

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
SCREENSHOT = ROOT / "build" / "test-artifacts" / "service-page.png"


@pytest.fixture
def browser():
    if not (CHROMIUM and CHROMEDRIVER):
        pytest.skip("Chromium and its driver are not installed: apt-get install chromium chromium-driver")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1500,1100"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=CHROMEDRIVER))
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def test_uploaded_recording_is_charted_with_its_verdict(browser, tmp_path):
    recording, _options = ctg_synth.golden_recordings()["late_decelerations"]
    path = tmp_path / "late.csv"
    path.write_text(ctg_synth.to_csv(recording.rows()))
    report = json.loads(analyze_csv_string(path.read_text(), window_min=20, step_sec=300))
    wait = WebDriverWait(browser, 60)

    with running_service(str(tmp_path / "page.db")) as base:
        browser.get(base + "/")
        browser.find_element(By.NAME, "window_min").send_keys("20")
        browser.find_element(By.NAME, "step_sec").send_keys("300")
        browser.find_element(By.ID, "file-input").send_keys(str(path))
        wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#chart .band"))

        bands = browser.find_elements(By.CSS_SELECTOR, "#chart .band")
        assert [b.get_attribute("data-category") for b in bands] == [w["classification"] for w in report["windows"]]
        assert len(browser.find_element(By.CSS_SELECTOR, "#chart .trace.fetal").get_attribute("d")) > 1000
        assert browser.find_element(By.CSS_SELECTOR, "#chart .trace.toco").get_attribute("d").startswith("M")
        last = report["windows"][-1]
        assert browser.find_element(By.ID, "verdict-category").text == last["classification"].replace("_", " ")
        assert browser.find_element(By.ID, "verdict-alert").text == last["alert_level"].replace("_", " ")
        reasons = [item.text for item in browser.find_elements(By.CSS_SELECTOR, "#verdict-reasons li")]
        assert reasons == (last["reasons"] or ["none"])
        assert "selected" in bands[-1].get_attribute("class")
        decelerations = {(d["kind"], d["start"]) for w in window_events(path.read_text(), window_min=20, step_sec=300)
                         for d in w["decelerations"]}
        marks = browser.find_elements(By.CSS_SELECTOR, "#events .event.deceleration")
        assert sorted(m.get_attribute("data-type") for m in marks) == sorted(kind for kind, _ in decelerations)
        assert "late" in {kind for kind, _ in decelerations}

        bands[0].click()  # another window's verdict
        first = report["windows"][0]
        assert browser.find_element(By.ID, "verdict-window").text.startswith("1 of ")
        assert browser.find_element(By.ID, "verdict-category").text == first["classification"].replace("_", " ")

        request = ctg_synth.to_request(recording.rows(), episode_id="bed-5").encode()
        posted = urllib.request.Request(base + "/v1/analyses", data=request,
                                        headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(posted, timeout=60) as answer:
            posted_report = json.loads(answer.read())
        row = wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, '#episode-rows tr[data-episode="bed-5"]'))[0]
        assert posted_report["windows"][-1]["classification"].replace("_", " ") in row.text
        row.click()
        wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#history-rows tr"))
        assert browser.find_element(By.ID, "history-episode").text == "bed-5"

        SCREENSHOT.parent.mkdir(parents=True, exist_ok=True)
        assert browser.save_screenshot(str(SCREENSHOT))

        browser.find_element(By.CSS_SELECTOR, "#history-rows button").click()  # the kept analysis's verdict
        wait.until(lambda b: "episode bed-5" in b.find_element(By.ID, "verdict-window").text)

        signal_loss, _ = ctg_synth.golden_recordings()["signal_loss"]
        request_path = tmp_path / "gaps.json"
        request_path.write_text(ctg_synth.to_request(signal_loss.rows()))
        expected = json.loads(analyze_json_string(request_path.read_text()))["windows"]
        browser.find_element(By.ID, "file-input").send_keys(str(request_path))  # a JSON request this time
        wait.until(lambda b: "gaps.json:" in b.find_element(By.ID, "status").text)
        bands = browser.find_elements(By.CSS_SELECTOR, "#chart .band")
        assert [b.get_attribute("data-category") for b in bands] == [w["classification"] for w in expected]
        limitations = [item.text for item in browser.find_elements(By.CSS_SELECTOR, "#verdict-limitations li")]
        assert limitations == (expected[-1]["limitations"] or ["none"])
        # Signal loss breaks the fetal line into pieces rather than joining across the gaps.
        assert browser.find_element(By.CSS_SELECTOR, "#chart .trace.fetal").get_attribute("d").count("M") > 5
