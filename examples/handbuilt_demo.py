"""A pick-and-place cell built by hand, without a script: an axis and a gripper whose actions wait on each
other through finish signals, each module running on its own thread. Prints what ran, in order.

The runtime takes the host's action kinds from a module named `actions`; this file defines its own and
puts them there before the module runtime loads, so it needs nothing but the installed runtime."""

import sys
import threading
import time
import types

from _vemoaction import VemoAction
from _vemoprimitives import VemoState

ran = []  # (module, kind, target) of every action, in the order they finished across the threads
_ran_lock = threading.Lock()


class RecordedAction(VemoAction):
    """Takes `duration` seconds, then records itself in `ran` and sets its finish signal."""

    target_key = ""

    def setup(self, **settings):
        self.target = settings.get(self.target_key)
        self.duration = settings.get("duration", 0)

    def execute(self):
        self.state = VemoState.Executing
        time.sleep(self.duration)
        with _ran_lock:
            ran.append((self.module.name, type(self).__name__, self.target))
        self.state = VemoState.Finished
        self.finish_signal.set()


class Move(RecordedAction):
    target_key = "position"


class IOAction(RecordedAction):
    target_key = "io_id"


class MoveTray(RecordedAction):
    target_key = "position_seq"


sys.modules["actions"] = types.ModuleType("actions", "The action kinds of this demo.")
sys.modules["actions"].__dict__.update(Move=Move, IOAction=IOAction, MoveTray=MoveTray)

from _vemomodule import VemoModule  # noqa: E402  (it reads the host's `actions` as it loads)


class DemoModule(VemoModule):
    name = "DemoModule"
    configs = {}

    def setup(self, **configs):
        self.settings = configs

    def run(self):
        self.execute_sequence()


class XAxis(DemoModule):
    name = "XAxis"


class Gripper(DemoModule):
    name = "Gripper"


def main():
    to_pick = Move(XAxis, position="pick", duration=0.2)
    grip = IOAction(Gripper, io_id="vacuum", status=1, duration=0.1)
    to_place = Move(XAxis, position="place", duration=0.2)
    release = IOAction(Gripper, io_id="vacuum", status=0, duration=0.1)
    home = Move(XAxis, position="home", duration=0.2)

    grip.add_dependencies(to_pick)      # close the gripper once the axis is at the pick position
    to_place.add_dependencies(grip)     # leave only with the part held
    release.add_dependencies(to_place)  # open at the place position
    home.add_dependencies(release)

    axis, gripper = XAxis([to_pick, to_place, home]), Gripper([grip, release])
    start = time.monotonic()
    threads = [axis.async_run(), gripper.async_run()]
    print("XAxis runs pick, place, home; Gripper runs vacuum on, vacuum off; each waits on the other.")
    for thread in threads:
        thread.join(10)
    elapsed = time.monotonic() - start
    for step, (module, kind, target) in enumerate(ran, 1):
        print(f"{step}. {module:8} {kind:9} {target}")
    print(f"done in {elapsed:.2f} s; every action finished: {all(not t.is_alive() for t in threads)}")


if __name__ == "__main__":
    main()
