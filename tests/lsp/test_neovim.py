"""Debian's Neovim, headless, with the set-up docs/editors.md gives: opens a script, shows a diagnostic,
completes a position, renames a step label, and stops the server cleanly."""

import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from lsp_support import ROOT, child_env

EXAMPLES = ROOT / "examples"
NEOVIM = shutil.which("nvim")
SESSION = ROOT / "tests" / "lsp" / "neovim_session.lua"
WAIT_MS = 30000  # one answer of the server (a checker process starts on the first check)
SESSION_TIMEOUT = 120  # seconds for the whole Neovim session


def documented_setup():
    """The Lua set-up of the Neovim section of docs/editors.md."""
    text = (ROOT / "docs" / "editors.md").read_text()
    section = text[text.index("## Neovim"):]
    return re.search(r"```lua\n(.*?)```", section, re.DOTALL).group(1)


@pytest.mark.skipif(NEOVIM is None, reason="Neovim is not installed (make test installs Debian's)")
def test_neovim_with_the_documented_setup_diagnoses_completes_and_renames(tmp_path):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    # The script starts with a # comment: the generic `conf` file type must not claim it.
    text = (EXAMPLES / "pick_place.vemo").read_text().replace("to place }", "to plce }", 1)
    script = tmp_path / "pick_place.vemo"
    script.write_text(text)
    (tmp_path / "init.lua").write_text(documented_setup())
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "vemo").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m vemo "$@"\n')
    (bin_dir / "vemo").chmod(0o755)
    lines = text.split("\n")
    complete_line = next(i for i, line in enumerate(lines) if "approach = { move @XAxis to " in line)
    rename_line = next(i for i, line in enumerate(lines) if "x_pick:" in line)
    env = dict(child_env(), PATH=f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}", HOME=str(tmp_path),
               XDG_CONFIG_HOME=str(tmp_path / "config"), XDG_DATA_HOME=str(tmp_path / "data"),
               XDG_STATE_HOME=str(tmp_path / "state"), OUT=str(tmp_path / "out.json"), SCRIPT=str(script),
               WAIT_MS=str(WAIT_MS), COMPLETE_LINE=str(complete_line),
               COMPLETE_COLUMN=str(lines[complete_line].index("to ") + 3),
               RENAME_LINE=str(rename_line), RENAME_COLUMN=str(lines[rename_line].index("x_pick") + 1),
               NEW_NAME="x_grab")
    subprocess.run([NEOVIM, "--headless", "-n", "-i", "NONE", "-u", str(tmp_path / "init.lua"),
                    "-c", f"luafile {SESSION}"], env=env, cwd=tmp_path, timeout=SESSION_TIMEOUT,
                   stdin=subprocess.DEVNULL, capture_output=True, check=False)
    seen = json.loads((tmp_path / "out.json").read_text())
    assert seen["filetype"] == "vemo" and seen["commentstring"] == "# %s"
    assert [d["message"] for d in seen["diagnostics"]] == ["XAxis has no position 'plce' (known: park, pick, place)"]
    assert {"park", "pick", "place"} <= set(seen["completion"]) and "move" not in seen["completion"]
    renamed = seen["text"]
    assert "x_pick" not in renamed and renamed.count("x_grab") == text.count("x_pick") == 2
    assert seen["clients"] == 1 and seen["stopped"]
    assert not [note for note in seen["notes"] if "exit code" in note], seen["notes"]
