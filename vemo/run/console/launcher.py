"""`vemo run --console`: the console of the run in a process of its own, so that serving pages never takes
the interpreter from the module threads, and a fault of the console cannot touch the run."""

from __future__ import annotations

import json
import os
import select
import subprocess
import sys
import threading
from pathlib import Path

import vemo

# How long the console may take to start (import, bind, token) before the run gives up on it.
START_SECONDS = 20.0
# At the end, how long the run waits for the console to have shown the run's end, then for it to exit.
ENDED_SECONDS = 2.0
EXIT_SECONDS = 3.0


class ConsoleStartError(Exception):
    """The console of the run could not start; the message says why."""


class ConsoleProcess:
    """Runs `vemo console DIR` for the run in DIR. It lives until `close`, which comes after the run has
    written its end, so a page open then shows the final timeline until the run's process exits."""

    def __init__(self, run_dir: str | Path, host: str, port: int) -> None:
        self.run_dir, self.host, self.port = Path(run_dir), host, port
        self.url = ""
        self._process: subprocess.Popen | None = None
        self._ended = threading.Event()

    def start(self) -> str:
        env = dict(os.environ)
        package_root = str(Path(vemo.__file__).resolve().parent.parent)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH", "")) if p)
        listen = f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"
        # A session of its own: Ctrl-C at the run's terminal is for the run; the console ends with it.
        self._process = subprocess.Popen(
            [sys.executable, "-m", "vemo", "console", str(self.run_dir), "--listen", listen, "--from-run"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, start_new_session=True)
        line = self._read_line(START_SECONDS)
        if line is None:
            code = self._process.poll()
            self.close()
            raise ConsoleStartError(f"the console did not start within {START_SECONDS:g} s" if code is None
                                    else f"the console did not start (exit code {code})")
        self.url = json.loads(line)["url"]
        threading.Thread(target=self._watch, name="console-watch", daemon=True).start()
        return self.url

    def _read_line(self, seconds: float) -> bytes | None:
        assert self._process is not None and self._process.stdout is not None
        ready, _, _ = select.select([self._process.stdout], [], [], seconds)
        line = self._process.stdout.readline() if ready else b""
        return line or None

    def _watch(self) -> None:
        assert self._process is not None and self._process.stdout is not None
        for line in self._process.stdout:
            if json.loads(line).get("ended"):
                self._ended.set()

    def close(self) -> None:
        """Waits a moment for the console to have shown the run's end, then ends it."""
        process = self._process
        if process is None:
            return
        self._ended.wait(ENDED_SECONDS if process.poll() is None else 0)
        try:
            process.stdin.close()
        except OSError:
            pass
        try:
            process.wait(EXIT_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self._process = None
