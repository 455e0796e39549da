"""`vemo run` end to end on the handler simulator: order across modules, failures, scripts that cannot run, `vemo sim`."""

import queue
import signal
import subprocess
import threading

import pytest

import kinra_client
from runsupport import EXAMPLES, HANDLER_SETTINGS, child_env, load_record, run_vemo, vemo_command
from vemo.run.simulator import free_loopback_address, ports_free


def by_module(records):
    modules = {}
    for record in records:
        modules.setdefault(record["module"], []).append(record)
    return modules


def ended_before(first, then):
    """`first` ended before `then` started, by the run's own order of events."""
    return first["end_seq"] is not None and then["start_seq"] is not None and first["end_seq"] < then["start_seq"]


def assert_waits_kept(records):
    """Every action started only after what it waits for ended, and a module ran one action at a time."""
    numbered = {r["number"]: r for r in records}
    for record in records:
        if record["start_seq"] is None:
            continue
        for number in record["waits_on"] + ([record["after"]] if record["after"] else []):
            assert ended_before(numbered[number], record), (numbered[number], record)
    for actions in by_module(records).values():
        ran = sorted((r for r in actions if r["start_seq"]), key=lambda r: r["start_seq"])
        for previous, following in zip(ran, ran[1:]):
            assert ended_before(previous, following), (previous, following)


def texts(actions):
    return [a["text"] for a in actions]


def check_pick_place(modules, client):
    x, z, g = modules["XAxis"], modules["ZAxis"], modules["Gripper"]
    assert texts(x) == ["move @XAxis to park", "move @XAxis to pick", "move @XAxis to place"] * 3
    assert texts(z) == ["move @ZAxis to down", "move @ZAxis to up"] * 6
    assert texts(g) == ["set @Gripper vacuum on", "set @Gripper vacuum off", "set @Gripper blow on",
                          'call @Gripper.dwell(100, "let the part settle")', "set @Gripper blow off"] * 3
    for k in range(3):
        xs, zs, gs = x[3 * k:3 * k + 3], z[4 * k:4 * k + 4], g[5 * k:5 * k + 5]
        assert ended_before(xs[1], zs[0])   # z_down waits x_pick
        assert ended_before(zs[0], gs[0])   # grip waits z_down
        assert ended_before(gs[0], zs[1])   # z_lift waits grip
        assert ended_before(zs[1], xs[2])   # x_place waits z_lift
        assert ended_before(xs[2], zs[2])   # z_drop waits x_place
        assert ended_before(zs[2], gs[1])   # release waits z_drop
        assert ended_before(gs[4], zs[3])   # z_back waits release
    # The cell really moved: the last cycle leaves X at place, Z up and both valves closed.
    assert (client.motor_monitor(1), client.motor_monitor(2)) == (480.0, 0.0)
    assert client.io_monitor(11, "KINRA_ID_OUTPUT_DATA") == "0000"


def check_tray_compete(modules, client):
    loader = modules["Loader"]
    unloads = [a for a in loader if "along unload" in a["text"]]
    reload, = [a for a in loader if "along reload" in a["text"]]
    assert [a["text"] for a in unloads] == ["transfer @Loader tray 1 along unload",
                                             "transfer @Loader tray 2 along unload"]
    assert all(ended_before(unload, reload) for unload in unloads)  # wait first
    assert (client.motor_monitor(5), client.motor_monitor(6)) == (10.0, 10.0)  # reload ends at the stack


def check_axis_service(modules, client):
    x = modules["XAxis"]
    assert texts(x) == (["call @XAxis.home()"] + ["move @XAxis to pick", "move @XAxis to place"] * 5
                          + ["call @XAxis.dwell(250)", "move @XAxis to park"])
    assert client.motor_monitor(1) == 20.0


@pytest.mark.parametrize("script, check", [
    ("pick_place.vemo", check_pick_place),
    ("tray_compete.vemo", check_tray_compete),
    ("axis_service.vemo", check_axis_service),
])
def test_example_runs_with_the_order_across_modules_that_the_script_demands(script, check, simulator, tmp_path):
    sim = simulator()
    record = tmp_path / "record.json"
    result = run_vemo("run", EXAMPLES / script, "--server", sim.address, "--record", record)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "run finished in" in result.stdout
    records = load_record(record)
    assert records and all(r["outcome"] == "finished" for r in records)
    assert_waits_kept(records)
    client = kinra_client.KinraClient(str(HANDLER_SETTINGS), server_address=sim.address)
    check(by_module(records), client)


def test_failing_action_ends_the_run_with_exit_1_naming_module_action_and_location(simulator, tmp_path):
    # The same cell on a handler whose X axis travels only to 300 mm: the move to place (480) fails.
    settings = HANDLER_SETTINGS.read_text().replace("Min: -5, Max: 600", "Min: -5, Max: 300")
    assert settings != HANDLER_SETTINGS.read_text()
    (tmp_path / "handler.yaml").write_text(settings)
    cell = (EXAMPLES / "cell.yaml").read_text().replace("handler_settings: handler/cell.yaml",
                                                        "handler_settings: handler.yaml")
    (tmp_path / "cell.yaml").write_text(cell)
    sim = simulator(tmp_path / "handler.yaml")
    script = EXAMPLES / "pick_place.vemo"
    line_number, line = next((n, text) for n, text in enumerate(script.read_text().splitlines(), 1)
                             if "move @XAxis to place" in text)
    location = f"{script}:{line_number}:{line.index('move @XAxis to place') + 1}"

    result = run_vemo("run", script, "--cell", tmp_path / "cell.yaml", "--server", sim.address,
                      "--record", tmp_path / "record.json", "--timeline", tmp_path / "timeline.html", timeout=30)

    assert result.returncode == 1, result.stdout + result.stderr
    assert "outside its travel -5 to 300" in result.stderr  # the check before the run warns
    assert f"FAILED: XAxis: move @XAxis to place ({location}) failed: the handler refused it" in result.stderr
    assert "; axis 1 reports error state 1" in result.stderr  # the simulator: target beyond the travel
    assert "[ERROR] Exception occurred in XAxis action" in result.stdout
    assert "run failed after" in result.stdout
    records = load_record(tmp_path / "record.json")
    failed, = [r for r in records if r["outcome"] == "error"]
    assert (failed["module"], failed["text"], failed["origin"]) == ("XAxis", "move @XAxis to place", location)
    # What waits on the failed move never ran, and the cell stopped there.
    z = by_module(records)["ZAxis"]
    assert z[2]["text"] == "move @ZAxis to down" and z[2]["outcome"] == "not run"
    assert all(r["outcome"] == "not run" for r in records if r["start_seq"] is None)
    assert_waits_kept(records)
    assert "error" in (tmp_path / "timeline.html").read_text()


def _lines(stream, into):
    for line in stream:
        into.put(line)
    into.put(None)


@pytest.mark.parametrize("script, cell_change, message", [
    ("c = async\n a: wait b { move @XAxis to pick }\nand\n b: wait a { move @ZAxis to down }\nmain = { c }\n",
     None, "wait cycle: these actions wait on each other"),
    ("main = { move @XAxis to }\n", None, "unexpected '}'"),
    ("main = { set @Gripper vacuum on }\n", ("handler_id: 11", "handler_id: 10"),
     "the cell does not match its handler settings:\n  Gripper: handler module 10 has no outputs to switch"),
])
def test_script_that_cannot_run_is_refused_with_exit_1_before_anything_moves(script, cell_change, message, address,
                                                                             tmp_path):
    cell = (EXAMPLES / "cell.yaml").read_text().replace("handler/cell.yaml", str(HANDLER_SETTINGS))
    if cell_change:
        cell = cell.replace(*cell_change)
    (tmp_path / "cell.yaml").write_text(cell)
    (tmp_path / "job.vemo").write_text(script)
    result = run_vemo("run", tmp_path / "job.vemo", "--sim-address", address, timeout=30)
    assert result.returncode == 1 and message in result.stderr, result.stderr
    assert "embedded simulator" not in result.stdout


@pytest.mark.parametrize("signum, code", [(signal.SIGINT, 0), (signal.SIGTERM, 143)])
def test_vemo_sim_serves_in_the_foreground_until_ctrl_c_or_sigterm(ctrl_c, signum, code):
    address = free_loopback_address()  # not one of the numbered addresses the run tests share
    process = subprocess.Popen(vemo_command("sim", "--cell", EXAMPLES / "cell.yaml", "--address", address,
                                            "--speed", 10),
                               env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=_lines, args=(process.stdout, lines), daemon=True).start()
    try:
        ready = lines.get(timeout=30)
        assert ready is not None and ready.startswith(f"vemo-sim ready on {address}"), process.stderr.read()
        result = run_vemo("run", EXAMPLES / "tray_compete.vemo", "--server", address, timeout=30)
        assert result.returncode == 0, result.stdout + result.stderr
        process.send_signal(signum)
        assert process.wait(timeout=30) == code
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
    assert ports_free(address)


@pytest.mark.parametrize("options", [["--server", "127.0.0.1", "--speed", "2"], ["--speed", "0"],
                                     ["--server", "127.0.0.1", "--sim-address", "127.0.0.2"]])
def test_options_that_do_not_fit_together_are_refused_with_exit_2(options):
    result = run_vemo("run", EXAMPLES / "pick_place.vemo", *options, timeout=30)
    assert result.returncode == 2 and "error:" in result.stderr
