"""The console page in a real browser (Chromium, headless, driven through the system chromedriver)."""

import json
import os
import shutil
import subprocess
import sys
import time
import urllib.request

import pytest
from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from consolesupport import ROOT

WAIT_SECONDS = 10


@pytest.fixture(scope="module")
def browser():
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or driver is None:
        pytest.fail("the browser tests need Debian's chromium and chromium-driver: `make test` installs them")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900"):
        options.add_argument(argument)
    # Under `make asan` the sanitizer runtime is preloaded for Python; the browser is no part of what it checks.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    session = webdriver.Chrome(options=options, service=Service(executable_path=driver, env=env))
    session.set_page_load_timeout(WAIT_SECONDS)
    yield session
    session.quit()


def _log(browser):
    """The event log as (kind, text) pairs, newest first."""
    return browser.execute_script(
        "return [...document.querySelectorAll('#log li')].map((li) => [li.dataset.kind, li.textContent])")


def _until(browser, condition, what):
    try:
        return WebDriverWait(browser, WAIT_SECONDS).until(lambda _: condition())
    except TimeoutException:
        raise AssertionError(f"the page did not show {what} within {WAIT_SECONDS} s") from None


def _rows(browser):
    """The module table as its texts, read in one go: the page redraws it on every update."""
    return browser.execute_script(
        "return Object.fromEntries([...document.querySelectorAll('#modules tbody tr')]"
        ".map(row => [row.dataset.module, [...row.cells].map(cell => cell.textContent)]))")


def test_a_page_opened_mid_run_shows_every_module_and_the_actions_already_done(browser, hand_run, console):
    hand_run.action("XAxis", 1)
    hand_run.action("Gripper", 1)
    hand_run.action("Gripper", 2, outcome=None)
    browser.get(console(hand_run.dir))
    rows = _until(browser, lambda: len(_rows(browser)) == 2 and _rows(browser), "both modules")
    assert rows["XAxis"][1:5] == ["waiting", "", "", "1/2"]
    assert rows["Gripper"][1:5] == ["running", "move @Gripper to p2", "pick.vemo:2:5", "1/2"]
    bars = browser.find_elements(By.CSS_SELECTOR, "#chart svg g rect")
    assert len(bars) == 3
    assert browser.find_element(By.ID, "resume").get_attribute("disabled") == "true"


def test_the_page_grows_with_the_run_and_keeps_the_final_timeline_after_it(browser, hand_run, console):
    browser.get(console(hand_run.dir))
    _until(browser, lambda: len(_rows(browser)) == 2, "both modules")
    for index in (1, 2):
        hand_run.action("XAxis", index)
        _until(browser, lambda: _rows(browser)["XAxis"][4] == f"{index}/2", f"XAxis at {index}/2")
    hand_run.write("interlock_tripped", name="door")
    _until(browser, lambda: browser.find_element(By.ID, "interlocks").text == "door: tripped", "the tripped door")
    hand_run.write("run_ended", exit_code=1, outcome="failed")
    state = browser.find_element(By.ID, "run-state")
    _until(browser, lambda: state.text.startswith("ended"), "the end of the run")
    assert "exit code 1" in state.text
    assert _rows(browser)["Gripper"][1] == "stopped"
    assert len(browser.find_elements(By.CSS_SELECTOR, "#chart svg g rect")) == 2
    assert all(browser.find_element(By.ID, name).get_attribute("disabled") == "true"
               for name in ("pause", "pause-now", "resume", "stop"))


def test_a_decision_awaited_shows_the_failure_and_its_choices(browser, hand_run, console):
    browser.get(console(hand_run.dir))
    hand_run.action("Gripper", 1, outcome=None)
    hand_run.write("paused", mode="deferred", cause="failure",
                   failure={"module": "Gripper", "action": "move @Gripper to p1", "location": "pick.vemo:1:5",
                            "reason": "vacuum not reached in 2 s", "attempts": 1})
    decision = browser.find_element(By.ID, "decision")
    _until(browser, decision.is_displayed, "the decision")
    assert "vacuum not reached in 2 s" in decision.text and "pick.vemo:1:5" in decision.text
    assert all(browser.find_element(By.ID, name).is_enabled() for name in ("retry", "skip", "abort"))
    hand_run.write("retry", module="Gripper", index=1, attempt=2)
    _until(browser, lambda: not decision.is_displayed(), "the decision answered")


def test_stop_asks_for_confirmation_and_sends_nothing_when_declined(browser, hand_run, console):
    browser.get(console(hand_run.dir))
    stop = browser.find_element(By.ID, "stop")
    _until(browser, stop.is_enabled, "stop enabled")
    stop.click()
    alert = WebDriverWait(browser, WAIT_SECONDS).until(lambda b: b.switch_to.alert)
    assert alert.text.startswith("Stop the run?")
    alert.dismiss()
    assert browser.find_element(By.ID, "reply").text == ""


def test_a_page_without_the_token_is_refused(browser, hand_run, console):
    url = console(hand_run.dir)
    browser.get(url.partition("?")[0])
    assert "needs the token" in browser.find_element(By.TAG_NAME, "body").text
    assert browser.find_elements(By.ID, "modules") == []


class RealRun:
    """`vemo run` of the example with its console, in a child process."""

    def __init__(self, folder, speed="2", cell="examples/cell.yaml", script="examples/pick_place.vemo", options=()):
        self.dir = folder / "run"
        self.process = subprocess.Popen(
            [sys.executable, "-m", "vemo", "run", str(script), "--speed", speed, "--plain", "--cell", str(cell),
             "--console", "127.0.0.1:0", "--run-dir", str(self.dir), *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT)
        self.url = next((line.split(" ", 1)[1].strip() for line in self.process.stdout
                         if line.startswith("console: ")), None)
        assert self.url is not None, self.process.stderr.read()

    def ctl(self, *command):
        return subprocess.run([sys.executable, "-m", "vemo", "ctl", str(self.dir), *command], cwd=ROOT,
                              capture_output=True, text=True, timeout=30)

    def events(self):
        return [json.loads(line) for line in (self.dir / "journal.jsonl").read_text().splitlines()]

    def wait(self):
        self.process.stdout.read()
        return self.process.wait(timeout=60)

    def kill(self):
        self.process.kill()
        self.process.wait()


@pytest.fixture
def real_run(tmp_path):
    started = []

    def start(**options):
        started.append(RealRun(tmp_path, **options))
        return started[-1]

    yield start
    for run in started:
        run.kill()


def test_the_console_of_a_real_run_shows_it_from_start_to_end(browser, real_run):
    run = real_run()
    browser.get(run.url)
    _until(browser, lambda: set(_rows(browser)) == {"XAxis", "ZAxis", "Gripper"}, "the three modules")
    state = browser.find_element(By.ID, "run-state")
    _until(browser, lambda: state.text.startswith("ended"), "the end of the run")
    assert "exit code 0" in state.text
    assert {row[4] for row in _rows(browser).values()} == {"9/9", "12/12", "15/15"}
    assert len(browser.find_elements(By.CSS_SELECTOR, "#chart svg g rect")) == 36
    assert run.wait() == 0
    with pytest.raises(OSError):
        urllib.request.urlopen(run.url, timeout=5)  # the console ended with the run


def _starts_after_pause(events):
    paused = next(i for i, e in enumerate(events) if e["event"] == "paused")
    return [e for e in events[paused:] if e["event"] == "action_started"]


def test_pause_from_the_page_holds_every_module_at_a_boundary_and_resume_completes_the_run(browser, real_run):
    run = real_run()
    browser.get(run.url)
    state = browser.find_element(By.ID, "run-state")
    _until(browser, lambda: state.text == "running" and any(row[2] for row in _rows(browser).values()),
           "an action running")
    browser.find_element(By.ID, "pause").click()
    _until(browser, lambda: state.text == "paused", "the run paused")
    assert all(row[1] == "paused" and row[2] == "" for row in _rows(browser).values())
    held = len(run.events())
    time.sleep(1.0)  # a paused run must start nothing, however long it is held
    events = run.events()
    assert _starts_after_pause(events) == [] and len(events) == held
    browser.find_element(By.ID, "resume").click()
    _until(browser, lambda: state.text.startswith("ended"), "the end of the run")
    assert run.wait() == 0
    assert "exit code 0" in state.text
    assert any(e["event"] == "resumed" for e in run.events())


def test_an_open_door_holds_the_run_on_the_page_until_it_is_closed_and_resumed(browser, real_run):
    run = real_run(cell="examples/door_cell.yaml")
    browser.get(run.url)
    interlocks = browser.find_element(By.ID, "interlocks")
    _until(browser, lambda: interlocks.text == "door: safe", "the door interlock, safe")
    assert run.ctl("input", "Safety", "door_open", "on").returncode == 0
    state = browser.find_element(By.ID, "run-state")
    _until(browser, lambda: interlocks.text == "door: tripped" and state.text == "paused", "the door open")
    assert run.ctl("input", "Safety", "door_open", "off").returncode == 0
    _until(browser, lambda: interlocks.text == "door: safe", "the door closed")
    assert state.text == "paused"  # the operator resumes, not the door
    browser.find_element(By.ID, "resume").click()
    _until(browser, lambda: state.text.startswith("ended"), "the end of the run")
    assert run.wait() == 0


def test_a_failure_held_for_the_operator_is_skipped_from_the_page_and_the_run_goes_on(browser, real_run, tmp_path):
    # A handler whose X axis travels only to 300 mm: the move to place (480) fails.
    settings = (ROOT / "examples" / "handler" / "cell.yaml").read_text()
    (tmp_path / "handler.yaml").write_text(settings.replace("Min: -5, Max: 600", "Min: -5, Max: 300"))
    (tmp_path / "cell.yaml").write_text((ROOT / "examples" / "cell.yaml").read_text()
                                        .replace("handler_settings: handler/cell.yaml", "handler_settings: handler.yaml"))
    (tmp_path / "job.vemo").write_text("job = async x: { move @XAxis to pick  move @XAxis to place }\n"
                                       "and wait x { move @ZAxis to down  move @ZAxis to up }\n"
                                       "main = { job }\n")
    run = real_run(cell=tmp_path / "cell.yaml", script=tmp_path / "job.vemo", options=("--on-error", "ask"))
    browser.get(run.url)
    decision = browser.find_element(By.ID, "decision")
    _until(browser, decision.is_displayed, "the failure awaiting a decision")
    assert "move @XAxis to place" in decision.text and "job.vemo:1:" in decision.text
    assert browser.find_element(By.ID, "run-state").text == "waiting_decision"
    banner = browser.find_element(By.ID, "held")
    assert banner.is_displayed() and "attention" in banner.get_attribute("class")
    assert "move @XAxis to place" in banner.text and banner.text.endswith("— Retry, Skip or Abort")
    browser.find_element(By.ID, "skip").click()
    alert = WebDriverWait(browser, WAIT_SECONDS).until(lambda b: b.switch_to.alert)
    assert alert.text.startswith("Skip the failed action?")
    alert.accept()
    state = browser.find_element(By.ID, "run-state")
    _until(browser, lambda: state.text.startswith("ended"), "the end of the run")
    assert run.wait() == 0
    assert _rows(browser)["ZAxis"][4] == "2/2"
    log = _until(browser, lambda: len(_log(browser)) >= 4 and _log(browser), "the event log")
    kinds = [kind for kind, _ in log]
    assert kinds[:5] == ["end", "skip", "resume", "decision", "pause"]
    assert "Skip chosen for XAxis: move @XAxis to place" in log[3][1] and "by console" in log[3][1]
    assert "at 127.0.0.1" in log[3][1] and "by console" in log[2][1]
    assert banner.text.startswith("Finished") and "finished" in banner.get_attribute("class")


def test_stop_from_the_page_once_confirmed_ends_the_run_as_ctrl_c_does(browser, real_run):
    run = real_run()
    browser.get(run.url)
    stop = browser.find_element(By.ID, "stop")
    _until(browser, stop.is_enabled, "stop enabled")
    stop.click()
    WebDriverWait(browser, WAIT_SECONDS).until(lambda b: b.switch_to.alert).accept()
    state = browser.find_element(By.ID, "run-state")
    _until(browser, lambda: state.text.startswith("ended"), "the end of the run")
    assert "exit code 130" in state.text
    assert run.wait() == 130


def test_on_a_phone_the_page_fits_its_width_says_why_the_run_is_held_and_logs_who_paused(browser, hand_run, console):
    hand_run.action("XAxis", 1)
    hand_run.action("Gripper", 1, outcome=None)
    hand_run.write("paused", mode="deferred", cause="operator",
                   by={"channel": "console", "user": "ann", "address": "192.0.2.7"})
    hand_run.write("interlock_tripped", name="door", module="Safety", input="door_open", value=True)
    browser.set_window_size(390, 844)
    try:
        browser.get(console(hand_run.dir))
        banner = browser.find_element(By.ID, "held")
        _until(browser, banner.is_displayed, "the banner")
        assert banner.text.startswith("Interlock door: Safety door_open is on — make it safe, then Resume")
        log = _until(browser, lambda: len(_log(browser)) == 2 and _log(browser), "the event log")
        assert log[0][0] == "trip" and log[1][0] == "pause" and "by console ann at 192.0.2.7" in log[1][1]
        width = browser.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
        assert width[0] <= width[1] <= 400, width
        heights = browser.execute_script(
            "return [...document.querySelectorAll('nav button:not([hidden])')].map((b) => b.getBoundingClientRect().height)")
        assert heights and min(heights) >= 44
        assert browser.execute_script("return getComputedStyle(document.querySelector('td.location')).display") == "none"
        assert "1/4 actions (25 %)" in browser.find_element(By.ID, "progress").text
    finally:
        browser.set_window_size(1400, 900)


def test_the_console_of_a_folder_lists_its_runs_newest_first_and_opens_any(browser, tmp_path):
    from consolesupport import HandRun

    older, newer = HandRun(tmp_path / "runs" / "older"), HandRun(tmp_path / "runs" / "newer")
    older.action("XAxis", 1)
    older.write("stopping", cause="operator", by={"channel": "ctl", "user": "bob"})
    older.write("run_ended", exit_code=130, outcome="interrupted")
    newer.journal.close()
    older.journal.close()
    # the journals' start times are those of the hand-written runs: make "newer" the newest
    lines = (newer.dir / "journal.jsonl").read_text().splitlines()
    first = json.loads(lines[0])
    first["started"] = "2099-01-01T00:00:00+0000"
    (newer.dir / "journal.jsonl").write_text("\n".join([json.dumps(first), *lines[1:]]) + "\n")
    process = subprocess.Popen([sys.executable, "-m", "vemo", "console", str(tmp_path / "runs")],
                               stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        url = process.stdout.readline().split(": ", 1)[1].strip()
        browser.get(url)
        rows = _until(browser, lambda: browser.execute_script(
            "return [...document.querySelectorAll('#runs tbody tr')].map((tr) => [tr.dataset.run, "
            "...[...tr.cells].map((td) => td.textContent)])") or None, "the runs")
        assert [row[0] for row in rows] == ["newer", "older"]
        assert rows[1][3:] == ["interrupted", rows[1][4], "0", "operator (ctl bob)"]
        assert rows[0][3] == "killed"
        browser.find_element(By.CSS_SELECTOR, "tr[data-run=older] a").click()
        state = browser.find_element(By.ID, "run-state")
        _until(browser, lambda: state.text.startswith("ended"), "the opened run")
        assert _rows(browser)["XAxis"][4] == "1/2"
        assert browser.find_element(By.ID, "held").text.startswith("Stopped: the operator stopped it (ctl bob")
        assert browser.find_element(By.ID, "back").is_displayed()
    finally:
        process.terminate()
        process.wait(10)


def test_the_chart_shows_short_actions_bands_and_now_and_its_window_zooms(browser, hand_run, console):
    hand_run.action("XAxis", 1)  # a few milliseconds in a run of minutes: still drawn, with its tooltip
    time.sleep(0.2)
    hand_run.write("paused", mode="immediate", cause="operator", by={"channel": "terminal", "user": "ann"})
    hand_run.write("resumed", cause="operator", by={"channel": "terminal", "user": "ann"})
    hand_run.write("interlock_tripped", name="door", module="Safety", input="door_open", value=True)
    hand_run.action("Gripper", 1, outcome=None)
    browser.get(console(hand_run.dir))
    _until(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#chart .hold.interlock"), "the interlock band")
    chart = browser.execute_script("""
        const bars = [...document.querySelectorAll('#chart g.bar')];
        return {widths: bars.map((g) => g.querySelector('rect').getBBox().width),
                titles: bars.map((g) => g.querySelector('title').textContent),
                holds: [...document.querySelectorAll('#chart rect.hold')].map((r) => r.getAttribute('class')),
                now: document.querySelectorAll('#chart line.now').length}""")
    assert len(chart["widths"]) == 2 and min(chart["widths"]) >= 3
    assert chart["titles"][0].startswith("XAxis: move @XAxis to p1\nfinished") and "pick.vemo:1:5" in chart["titles"][0]
    assert chart["holds"] == ["hold pause", "hold interlock"] and chart["now"] == 1
    label = browser.find_element(By.ID, "chart-window")
    assert label.text.endswith("(live)")
    browser.find_element(By.ID, "chart-zoom-out").click()
    _until(browser, lambda: not label.text.endswith("(live)"), "a window of its own")
    browser.find_element(By.ID, "chart-live").click()
    _until(browser, lambda: label.text.endswith("(live)"), "the chart following again")


def test_a_loop_without_end_shows_its_iteration_no_total_and_when_it_ends(browser, tmp_path, console):
    from vemo.run.journal import Journal

    (tmp_path / "run").mkdir()
    with Journal(tmp_path / "run" / "journal.jsonl") as journal:
        journal.write("run_started", format=2, script="cycle.vemo", modules=[{"name": "XAxis", "actions": None}])
        journal.write("loop_planned", loop=1, location="cycle.vemo:1:8", count=None, iteration_estimate_s=60.0,
                      modules=[{"module": "XAxis", "first": 1, "per_iteration": 1}])
        common = {"module": "XAxis", "text": "move @XAxis to pick", "location": "cycle.vemo:2:5"}
        for index in (1, 2):
            journal.write("action_planned", **common, index=index, kind="Move", lane=None, after=None,
                          waits=[["XAxis", index - 1]] if index > 1 else [])
        for index in range(1, 5):
            journal.write("iteration_started", loop=1, iteration=index)
            journal.write("action_started", **common, index=index)
            if index < 4:
                journal.write("action_ended", **common, index=index, outcome="finished")
        journal.write("cycle_stop_requested", loop=1, iteration=4, by={"channel": "console", "user": "ann"})
    browser.get(console(tmp_path / "run"))
    rows = _until(browser, lambda: _rows(browser).get("XAxis"), "the module")
    assert rows[1:5] == ["running", "move @XAxis to pick", "cycle.vemo:2:5", "3 · iteration 4"]
    progress = _until(browser, lambda: browser.find_element(By.ID, "progress").text, "the progress")
    assert progress.startswith("3 actions") and "iteration 4 (no end)" in progress and \
        "ends after iteration 4" in progress and "%" not in progress
    assert browser.find_element(By.ID, "held").text.startswith("Ends after iteration 4 (console ann")
    assert browser.find_element(By.ID, "progress-bar").get_attribute("aria-valuenow") is None
