"""Test double of the host module `actions`: action kinds that record what ran, in order."""

import threading
import time

from _vemoaction import VemoAction
from _vemoprimitives import VemoState

journal = []
"""(module name, kind, target) of every executed action, in execution order across all threads."""


def module_name(module):
    return getattr(module, "name", type(module).__name__)


class RecordingAction(VemoAction):
    """Executes by appending itself to `journal`.

    Settings the tests use: `fail` (raise instead of finishing), `duration` (seconds to sleep first),
    `gate` (a threading.Event to wait for, with a timeout, before finishing).
    """

    target_key = None

    def setup(self, **configs):
        self.target = configs.get(self.target_key)
        self.fail = configs.get("fail", False)
        self.duration = configs.get("duration", 0)
        self.gate = configs.get("gate")

    def execute(self):
        self.state = VemoState.Executing
        if self.duration:
            time.sleep(self.duration)
        if self.gate is not None and not self.gate.wait(10):
            raise TimeoutError("gate never opened")
        if self.fail:
            self.state = VemoState.Error
            raise RuntimeError(f"{type(self).__name__} {self.target} failed")
        journal.append((module_name(self.module), type(self).__name__, self.target))
        self.state = VemoState.Finished
        self.finish_signal.set()


class IOAction(RecordingAction):
    target_key = "io_id"


class Move(RecordingAction):
    target_key = "position"


class MoveTray(RecordingAction):
    target_key = "position_seq"


class FastAction(VemoAction):
    """An action whose execute does only what every action must do: used by the benchmarks."""

    def setup(self, **configs):
        pass

    def execute(self):
        self.state = VemoState.Finished
        self.finish_signal.set()


_journal_lock = threading.Lock()


def reset_journal():
    with _journal_lock:
        journal.clear()
