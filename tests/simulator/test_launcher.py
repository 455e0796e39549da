"""The vemo-sim process and its launcher: start, readiness, clean stop, bad settings and options."""

import os
import signal
import subprocess
import sys
import time

import pytest

from helpers import wait_until
from simclient import EXAMPLE_CELL, Client
from vemo.run.simulator import Simulator, SimulatorError, find_binary, ports_free


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_simulator_stops_cleanly_on_signal(ctrl_c, start_sim, signum):
    sim = start_sim()
    assert not ports_free(sim.address)
    sim.process.send_signal(signum)
    assert sim.process.wait(timeout=5) == 0
    sim.stop()
    assert sim.output()[-1] == f"vemo-sim stopped by {signum.name}"
    assert ports_free(sim.address)


def test_simulator_ends_when_its_launching_process_dies(sim_binary):
    repo = os.path.join(os.path.dirname(__file__), "..", "..")
    code = (f"import os, signal, sys; sys.path.insert(0, {repo!r})\n"
            "from vemo.run.simulator import Simulator\n"
            f"sim = Simulator({EXAMPLE_CELL!r}, binary={sim_binary!r}).start()\n"
            "print(sim.address, flush=True)\n"
            "os.kill(os.getpid(), signal.SIGKILL)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
    address = done.stdout.strip()
    assert address.startswith("127."), done.stderr
    wait_until(lambda: ports_free(address), timeout=5)


def test_launcher_picks_a_free_loopback_address_and_reports_ready(start_sim):
    sim = start_sim()
    assert sim.address.startswith("127.")
    assert sim.output()[0].startswith(f"vemo-sim ready on {sim.address}: ")
    assert "6 axes, 4 IO modules" in sim.output()[0]


def test_second_simulator_on_a_taken_address_fails_with_the_reason(start_sim):
    first = start_sim()
    with pytest.raises(SimulatorError, match="Address already in use"):
        start_sim(address=first.address)
    assert first.running


@pytest.mark.parametrize("content,message", [
    ("a: [{KinraID: 1, SlaveNo: 1}, {KinraID: 1, SlaveNo: 2}]", "KinraID 1 is used twice"),
    ("a: [unclosed", "cannot use settings"),
    ("a: [{KinraID: 1, SlaveNo: 1, Params: {SpeedFactor: -3}}]", "SpeedFactor must be a positive number"),
])
def test_unusable_settings_stop_the_start_with_the_reason(start_sim, tmp_path, content, message):
    path = tmp_path / "cell.yaml"
    path.write_text(content)
    with pytest.raises(SimulatorError, match=message):
        start_sim(settings=path)


def test_missing_settings_file_is_reported_before_starting(tmp_path):
    with pytest.raises(SimulatorError, match="not found"):
        Simulator(tmp_path / "nope.yaml").start()


@pytest.mark.parametrize("args", [["--time-scale", "0"], ["--time-scale", "fast"], ["--bogus"], ["--address"]])
def test_bad_options_exit_with_usage(sim_binary, args):
    done = subprocess.run([sim_binary, "--settings", EXAMPLE_CELL, *args], capture_output=True, text=True,
                          timeout=10)
    assert done.returncode == 2
    assert "usage: vemo-sim" in done.stderr


def test_find_binary_honours_the_environment(monkeypatch, sim_binary, tmp_path):
    monkeypatch.setenv("VEMO_SIMULATOR", sim_binary)
    assert find_binary() == sim_binary
    monkeypatch.setenv("VEMO_SIMULATOR", str(tmp_path / "missing"))
    with pytest.raises(SimulatorError, match="VEMO_SIMULATOR"):
        find_binary()


def test_idle_simulator_with_pending_work_does_not_spin(start_sim, context):
    sim = start_sim(time_scale=0.01)
    c = Client(context, sim.address)
    try:
        assert c.send(1, 1, [600_000], "slow", ["502"])[-1] == 1       # hours of simulated motion
        assert c.send(0, 151 + 10 * 1 + 0, [6], "never", [])[-1] == 1  # gantry_z never homes
    finally:
        c.close()
    ticks = os.sysconf("SC_CLK_TCK")

    def cpu_seconds():
        with open(f"/proc/{sim.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / ticks

    before = cpu_seconds()
    time.sleep(1.0)
    assert cpu_seconds() - before < 0.2


def test_foreground_run_echoes_the_simulator_and_ends_on_ctrl_c(ctrl_c, sim_binary):
    repo = os.path.join(os.path.dirname(__file__), "..", "..")
    code = (f"import sys; sys.path.insert(0, {repo!r})\n"
            "from vemo.run.simulator import run_foreground\n"
            f"sys.exit(run_foreground({EXAMPLE_CELL!r}))\n")
    env = dict(os.environ, VEMO_SIMULATOR=sim_binary)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, env=env)
    try:
        ready = proc.stdout.readline()
        assert ready.startswith("vemo-sim ready on 127.")
        proc.send_signal(signal.SIGINT)
        rest = proc.communicate(timeout=10)[0]
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0
    assert "vemo-sim stopped by SIGTERM" in rest
    assert ports_free(ready.split()[3].rstrip(":"))


@pytest.mark.parametrize("verbose", [False, True])
def test_refusals_are_always_reported_and_verbose_lists_every_request(start_sim, context, verbose):
    sim = start_sim(extra_args=["--verbose"] if verbose else [])
    c = Client(context, sim.address)
    try:
        assert c.send(0, 150, [], "ok1")[-1] == 1
        assert c.send(1, 42, [], "bad1")[-1] == 0
    finally:
        c.close()
    sim.stop()
    lines = sim.output()
    assert "refused bad1: unknown function code 42" in lines
    assert ("accepted ok1: module 0 function 150" in lines) == verbose
    assert ("finished ok1: result 1" in lines) == verbose


def test_launcher_sets_a_simulated_input_and_reports_the_simulators_refusals(start_sim, context):
    sim = start_sim()
    client = Client(context, sim.address)
    try:
        sim.set_input(13, 2, True)
        sim.set_input(13, 7, True)
        assert client.log(13, 4)[-1] == "84"  # input image of the mixed module, pins 2 and 7
        sim.set_input(13, 2, False)
        assert client.log(13, 4)[-1] == "80"
    finally:
        client.close()
    for kinra_id, pin, reason in [(10, 0, "mirror another module's outputs"), (13, 8, "has 8 inputs, no pin 8"),
                                  (1, 0, "is no IO module")]:
        with pytest.raises(SimulatorError, match=reason):
            sim.set_input(kinra_id, pin, True)
