"""A pick-and-place cell built by hand from the test host's kinds: an axis and a gripper that wait on
each other through finish signals, each running on its own thread. Prints what ran, in order."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "host"))

import actions  # noqa: E402
from actions import IOAction, Move  # noqa: E402
from modules import Gripper, XAxis  # noqa: E402


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
    for step, (module, kind, target) in enumerate(actions.journal, 1):
        print(f"{step}. {module:8} {kind:9} {target}")
    print(f"done in {elapsed:.2f} s; every action finished: {all(not t.is_alive() for t in threads)}")


if __name__ == "__main__":
    main()
