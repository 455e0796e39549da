"""Starts and stops vemo-sim, the handler simulator, on a loopback address for `vemo sim` and `vemo run`."""

from __future__ import annotations

import collections
import os
import queue
import random
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

from vemo.run.signals import exit_code

BINARY_NAME = "vemo-sim"
HANDLER_PORTS = (5001, 5002, 5003)
READY_PREFIX = "vemo-sim ready on "
INPUT_ANSWERS = ("input ", "refused input: ")
_PACKAGE_DIR = Path(__file__).resolve().parents[1]  # the vemo package


class SimulatorError(RuntimeError):
    """The simulator could not be found, started or stopped."""


def find_binary() -> str:
    """Path of the vemo-sim program: $VEMO_SIMULATOR, else the one installed with this package, else
    the newest one in build/*/bin when this package is a source tree, else one installed with another
    `vemo` on sys.path (a source tree imported ahead of its installed copy)."""
    override = os.environ.get("VEMO_SIMULATOR")
    if override:
        if os.path.isfile(override) and os.access(override, os.X_OK):
            return override
        raise SimulatorError(f"VEMO_SIMULATOR={override} is not an executable file")

    def runnable(path: Path) -> bool:
        return path.is_file() and os.access(path, os.X_OK)

    own = _PACKAGE_DIR / "bin" / BINARY_NAME
    if runnable(own):
        return str(own)
    built = [p for p in (_PACKAGE_DIR.parent / "build").glob(f"*/bin/{BINARY_NAME}") if runnable(p)]
    if built:
        return str(max(built, key=lambda p: p.stat().st_mtime))
    for entry in sys.path:
        installed = Path(entry or ".") / "vemo" / "bin" / BINARY_NAME
        if runnable(installed):
            return str(installed)
    raise SimulatorError(f"{BINARY_NAME} not found: install the package, build the source tree "
                         f"(make dev) or set VEMO_SIMULATOR")


def ports_free(address: str) -> bool:
    """Whether the three handler ports can be bound on `address` right now."""
    for port in HANDLER_PORTS:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as ZeroMQ binds
            try:
                s.bind((address, port))
            except OSError:
                return False
    return True


def free_loopback_address(rng: random.Random | None = None) -> str:
    """A random address in 127.100.0.0 - 127.254.255.254 whose handler ports are free."""
    rng = rng or random.Random()
    for _ in range(100):
        address = f"127.{rng.randint(100, 254)}.{rng.randint(0, 255)}.{rng.randint(1, 254)}"
        if ports_free(address):
            return address
    raise SimulatorError("no loopback address with free handler ports found")


class Simulator:
    """One vemo-sim process. Use as a context manager, or call start() and stop().

    The process runs in its own session, so the operator's Ctrl-C reaches the host, which then
    stops the simulator in order instead of losing it mid-run.
    """

    def __init__(self, settings, address: str | None = None, time_scale: float = 1.0, *,
                 binary: str | None = None, extra_args=(), ready_timeout: float = 10.0, echo=None):
        self.settings = os.fspath(settings)
        self.requested_address = address
        self.address = address
        self.time_scale = float(time_scale)
        self.binary = binary
        self.extra_args = [str(a) for a in extra_args]
        self.ready_timeout = ready_timeout
        self.echo = echo  # called with each output line (both streams) as it arrives
        self.process: subprocess.Popen | None = None
        self._stdout: collections.deque[str] = collections.deque(maxlen=500)
        self._stderr: collections.deque[str] = collections.deque(maxlen=500)
        self._ready = threading.Event()
        self._readers: list[threading.Thread] = []
        self._command_lock = threading.Lock()
        self._answers: queue.Queue[str] = queue.Queue()

    def __enter__(self) -> Simulator:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def output(self) -> list[str]:
        """The lines the simulator printed on standard output so far (the last 500)."""
        return list(self._stdout)

    def errors(self) -> list[str]:
        """The lines the simulator printed on standard error so far (the last 500)."""
        return list(self._stderr)

    def start(self) -> Simulator:
        """Starts the program and returns once it accepts requests. With no address given, picks a
        free loopback address, and another one should that be taken in the meantime."""
        if self.running:
            raise SimulatorError(f"simulator already running on {self.address}")
        if not os.path.isfile(self.settings):
            raise SimulatorError(f"handler settings file not found: {self.settings}")
        binary = self.binary or find_binary()
        attempts = 1 if self.requested_address else 3
        for attempt in range(attempts):
            self.address = self.requested_address or free_loopback_address()
            if self._launch(binary):
                return self
            in_use = any("Address already in use" in line for line in self._stderr)
            if not in_use or attempt == attempts - 1:
                break
        detail = " ".join(self._stderr) or " ".join(self._stdout) or "no output"
        raise SimulatorError(f"{BINARY_NAME} did not start on {self.address}: {detail}")

    def _launch(self, binary: str) -> bool:
        self._stdout.clear()
        self._stderr.clear()
        self._ready.clear()
        # The simulator watches its standard input: should this process die without stop(), the pipe
        # closes and the simulator ends instead of holding its address.
        command = [binary, "--address", self.address, "--settings", self.settings,
                   "--time-scale", repr(self.time_scale), "--watch-stdin", *self.extra_args]
        try:
            self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, text=True, errors="replace",
                                            start_new_session=True)
        except OSError as e:
            raise SimulatorError(f"cannot run {binary}: {e}") from e
        self._readers = [threading.Thread(target=self._read, args=(self.process.stdout, self._stdout), daemon=True),
                         threading.Thread(target=self._read, args=(self.process.stderr, self._stderr), daemon=True)]
        for reader in self._readers:
            reader.start()
        deadline = time.monotonic() + self.ready_timeout
        while not self._ready.wait(0.05):
            if self.process.poll() is not None:
                self._join_readers()
                self.process.stdin.close()
                return self._ready.is_set()
            if time.monotonic() > deadline:
                self.stop()
                raise SimulatorError(f"{BINARY_NAME} did not report ready within {self.ready_timeout} s")
        return True

    def _read(self, pipe, lines) -> None:
        for line in pipe:
            line = line.rstrip("\n")
            lines.append(line)
            if self.echo:
                self.echo(line)
            if line.startswith(READY_PREFIX):
                self._ready.set()
            elif line.startswith(INPUT_ANSWERS):
                self._answers.put(line)
        pipe.close()

    def _join_readers(self) -> None:
        # Ctrl-C may land while the readers are being started, once the first has echoed "ready".
        for reader in self._readers:
            if reader.ident is not None:
                reader.join(timeout=2)

    def set_input(self, kinra_id: int, pin: int, value: bool, timeout: float = 5.0) -> None:
        """Sets a simulated input of an IO module, as a sensor wired to it would, and returns once the
        simulator has set it. SimulatorError with the simulator's reason when it refuses."""
        with self._command_lock:
            if not self.running:
                raise SimulatorError("the simulator is not running")
            while not self._answers.empty():
                self._answers.get_nowait()
            try:
                self.process.stdin.write(f"input {int(kinra_id)} {int(pin)} {1 if value else 0}\n")
                self.process.stdin.flush()
            except (OSError, ValueError) as error:
                raise SimulatorError(f"cannot reach the simulator: {error}") from None
            try:
                answer = self._answers.get(timeout=timeout)
            except queue.Empty:
                raise SimulatorError(f"the simulator did not answer within {timeout} s") from None
        if answer.startswith("refused input: "):
            raise SimulatorError(answer[len("refused input: "):])

    def stop(self, timeout: float = 5.0) -> int | None:
        """Stops the program with SIGTERM (SIGKILL after `timeout`) and returns its exit code."""
        process = self.process
        if process is None:
            return None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout)
        self._join_readers()
        if process.stdin:
            process.stdin.close()
        return process.returncode


def run_foreground(settings, address: str | None = None, time_scale: float = 1.0, out=None) -> int:
    """Runs a simulator until the operator's Ctrl-C or until it ends by itself, echoing its output
    lines to `out` (default sys.stdout); returns 0 after Ctrl-C, 143 or 129 after SIGTERM or SIGHUP, else
    the simulator's exit code."""
    out = out or sys.stdout
    sim = Simulator(settings, address=address, time_scale=time_scale,
                    echo=lambda line: print(line, file=out, flush=True))
    try:
        sim.start()
        while sim.running:
            try:
                sim.process.wait(0.5)
            except subprocess.TimeoutExpired:
                pass
    except KeyboardInterrupt as interrupt:
        sim.stop()
        return 0 if exit_code(interrupt) == 128 + signal.SIGINT else exit_code(interrupt)
    return sim.stop()
