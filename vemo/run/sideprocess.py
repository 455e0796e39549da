"""The processes a run starts beside itself (`--console`, `--opcua`, `--mqtt`), so that serving pages or the
plant's network never takes the interpreter from the module threads and a fault there cannot touch the run;
and the two sides of the small link between such a process and the run: one JSON line when it is ready, one
when it has passed on the run's end, and the end of its standard input when the run's process is gone."""

from __future__ import annotations

import json
import os
import select
import subprocess
import sys
import threading
from pathlib import Path
from typing import Callable

import vemo

# How long a process may take to start (import, certificates, bind, token) before the run gives up on it.
START_SECONDS = 30.0
# At the end, how long the run waits for a process to have passed on the run's end (the console to show
# it); then the run goes on exiting whatever the plant's network does. An MQTT publisher still sending
# then goes on by itself.
ENDED_SECONDS = 2.0
# How long the run waits for a process it waits for to exit after its standard input closed.
EXIT_SECONDS = 3.0


class SideStartError(Exception):
    """A process beside the run could not start; the message says why."""


def listen_text(host: str, port: int) -> str:
    """HOST:PORT as the --listen options take it, an IPv6 host in brackets."""
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


class SideProcess:
    """Runs `vemo KIND DIR ARGS --from-run` for the run in DIR; `what` names it in errors ("the console").
    `wait_exit`: the run waits for the process to end after telling it to (the console, the OPC UA server);
    otherwise it is left to finish on its own (the MQTT publisher, which sends what the broker has not
    acknowledged yet, bounded by its own drain time)."""

    def __init__(self, kind: str, run_dir: str | Path, arguments: list[str], wait_exit: bool, what: str) -> None:
        self.kind, self.run_dir, self.arguments, self.wait_exit = kind, Path(run_dir), arguments, wait_exit
        self.what = what
        self.ready: dict = {}
        self._process: subprocess.Popen | None = None
        self._ended = threading.Event()

    def start(self) -> dict:
        env = dict(os.environ)
        package_root = str(Path(vemo.__file__).resolve().parent.parent)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH", "")) if p)
        # A session of its own: Ctrl-C at the run's terminal is for the run; the process ends with it.
        self._process = subprocess.Popen(
            [sys.executable, "-m", "vemo", self.kind, str(self.run_dir), *self.arguments, "--from-run"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, start_new_session=True)
        line = self._read_line(START_SECONDS)
        if line is None:
            try:  # at the end of its output the process may not have been reaped yet
                code = self._process.wait(1)
            except subprocess.TimeoutExpired:
                code = None
            self.close()
            raise SideStartError(f"{self.what} did not start within {START_SECONDS:g} s" if code is None
                                 else f"{self.what} did not start (exit code {code})")
        self.ready = json.loads(line)
        threading.Thread(target=self._watch, name=f"{self.kind}-watch", daemon=True).start()
        return self.ready

    def _read_line(self, seconds: float) -> bytes | None:
        assert self._process is not None and self._process.stdout is not None
        ready, _, _ = select.select([self._process.stdout], [], [], seconds)
        line = self._process.stdout.readline() if ready else b""
        return line or None

    def _watch(self) -> None:
        assert self._process is not None and self._process.stdout is not None
        for line in self._process.stdout:
            try:
                if json.loads(line).get("ended"):
                    self._ended.set()
            except ValueError:
                pass

    def close(self) -> None:
        """Waits a moment for the process to have passed on the run's end, then tells it the run is gone."""
        process = self._process
        if process is None:
            return
        self._process = None
        self._ended.wait(ENDED_SECONDS if process.poll() is None else 0)
        try:
            process.stdin.close()
        except OSError:
            pass
        if not self.wait_exit:
            return
        try:
            process.wait(EXIT_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class ParentLink:
    """The side process's side: `tell` writes one JSON line to the run; `watch` calls `gone` once the run's process
    has closed our standard input (its exit does that)."""

    def __init__(self, from_run: bool) -> None:
        self.from_run = from_run

    def tell(self, message: dict) -> bool:
        if not self.from_run:
            return True
        try:
            sys.stdout.write(json.dumps(message) + "\n")
            sys.stdout.flush()
            return True
        except (OSError, ValueError):
            return False  # the run is gone

    def watch(self, gone: Callable[[], None]) -> None:
        if not self.from_run:
            return

        def wait_for_eof() -> None:
            try:
                while sys.stdin.buffer.read(4096):
                    pass
            except (OSError, ValueError):
                pass
            gone()

        threading.Thread(target=wait_for_eof, name="run-parent", daemon=True).start()
