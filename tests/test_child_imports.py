"""A process a test starts from its own folder imports the `vemo` and extension modules the suite imports, also
when the suite was started with a relative PYTHONPATH."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import _vemoaction
import vemo

ROOT = Path(__file__).resolve().parents[1]
IMPORTED = "import vemo, _vemoaction; print(vemo.__file__); print(_vemoaction.__file__)"

# Without PYTHONPATH the suite imports this tree from its start folder and a child the installed copy.
needs_path = pytest.mark.skipif(not os.environ.get("PYTHONPATH"), reason="the suite runs without PYTHONPATH")


@needs_path
def test_a_child_started_from_a_tests_own_folder_imports_what_the_suite_does(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    child = subprocess.run([sys.executable, "-c", IMPORTED], capture_output=True, text=True, timeout=60,
                           env=dict(os.environ))
    assert child.returncode == 0, child.stderr
    assert [Path(line).resolve() for line in child.stdout.split()] == \
        [Path(vemo.__file__).resolve(), Path(_vemoaction.__file__).resolve()]


@needs_path
def test_the_same_holds_in_a_suite_started_with_the_import_path_relative_to_the_tree():
    relative = os.pathsep.join(os.path.relpath(entry, ROOT) if entry else entry
                               for entry in os.environ["PYTHONPATH"].split(os.pathsep))
    suite = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                            f"{Path(__file__).relative_to(ROOT)}::"
                            "test_a_child_started_from_a_tests_own_folder_imports_what_the_suite_does"],
                           capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=relative),
                           cwd=ROOT)
    assert suite.returncode == 0 and "1 passed" in suite.stdout, suite.stdout[-3000:] + suite.stderr[-2000:]
