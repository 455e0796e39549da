"""Takes the screenshot in docs/editors.md with a real client: Neovim, in a tmux window, with the set-up the
page gives, shows the hover of an action that `vemo lsp` sent; the window's cells, with
their colours, are then laid out as HTML and photographed by Chromium headless.

    python editors/screenshot.py docs/images/editor-neovim.png

Needs nvim, tmux and chromium on the PATH (make test installs Neovim and Chromium).
"""

from __future__ import annotations

import html
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
COLUMNS, ROWS = 112, 30
WAIT = 30.0  # seconds for the server to answer on screen
CELL_WIDTH, CELL_HEIGHT = 8.4, 17  # pixels of a character cell in the picture
SESSION = "vemo-screenshot"
# The script shown: the example as it is (hovers need a script that compiles).
SCRIPT = (ROOT / "examples" / "pick_place.vemo").read_text()
DISPLAY = """
vim.o.termguicolors = false
vim.o.number = true
vim.o.laststatus = 2
vim.o.shortmess = vim.o.shortmess .. "I"
vim.o.background = "dark"
vim.cmd("highlight NormalFloat ctermbg=236 ctermfg=252")
vim.cmd("highlight FloatBorder ctermbg=236 ctermfg=244")
vim.cmd("highlight LineNr ctermfg=242")
vim.lsp.handlers["textDocument/hover"] = vim.lsp.with(vim.lsp.handlers.hover, { border = "rounded" })
"""
_BASIC = ["#000000", "#cd0000", "#00cd00", "#cdcd00", "#0000ee", "#cd00cd", "#00cdcd", "#e5e5e5",
          "#7f7f7f", "#ff0000", "#00ff00", "#ffff00", "#5c5cff", "#ff00ff", "#00ffff", "#ffffff"]
PAGE = "#1c1c1c"  # the terminal's own background
_SGR = re.compile(r"\x1b\[([0-9;]*)m")


def _palette(index: int) -> str:
    if index < 16:
        return _BASIC[index]
    if index < 232:
        index -= 16
        steps = [0, 95, 135, 175, 215, 255]
        return "#%02x%02x%02x" % (steps[index // 36], steps[index // 6 % 6], steps[index % 6])
    grey = 8 + (index - 232) * 10
    return "#%02x%02x%02x" % (grey, grey, grey)


def _html(screen: str) -> str:
    """The captured cells (text with SGR escapes) as one preformatted block of coloured spans."""
    foreground, background, bold, reverse = None, None, False, False
    parts = []
    for index, piece in enumerate(_SGR.split(screen)):
        if index % 2 == 0:
            if piece:
                fg, bg = (background, foreground) if reverse else (foreground, background)
                style = f"color:{fg or '#e5e5e5'};background:{bg or 'transparent'}" + (";font-weight:bold" if bold else "")
                parts.append(f'<span style="{style}">{html.escape(piece)}</span>')
            continue
        codes = [int(c) if c else 0 for c in piece.split(";")]
        while codes:
            code = codes.pop(0)
            if code == 0:
                foreground, background, bold, reverse = None, None, False, False
            elif code == 1:
                bold = True
            elif code == 22:
                bold = False
            elif code == 7:
                reverse = True
            elif code == 27:
                reverse = False
            elif 30 <= code <= 37 or 90 <= code <= 97:
                foreground = _BASIC[code - 30 if code < 90 else code - 82]
            elif 40 <= code <= 47 or 100 <= code <= 107:
                background = _BASIC[code - 40 if code < 100 else code - 92]
            elif code == 39:
                foreground = None
            elif code == 49:
                background = None
            elif code in (38, 48) and codes:
                kind = codes.pop(0)
                if kind == 5 and codes:
                    colour = _palette(codes.pop(0))
                elif kind == 2 and len(codes) >= 3:
                    colour = "#%02x%02x%02x" % tuple(codes[:3])
                    del codes[:3]
                else:
                    continue
                if code == 38:
                    foreground = colour
                else:
                    background = colour
    return (f"<!doctype html><html><body style='margin:0;background:{PAGE}'><pre style=\"margin:0;padding:6px;"
            f"font:14px/17px 'DejaVu Sans Mono',monospace;background:{PAGE}\">" + "".join(parts) + "</pre></body></html>")


def _tmux(*arguments: str) -> str:
    return subprocess.run(["tmux", *arguments], check=True, capture_output=True, text=True, timeout=10).stdout


def _wait_for(needle: str) -> str:
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        screen = _tmux("capture-pane", "-p", "-e", "-t", SESSION)
        if needle in _SGR.sub("", screen):
            return screen
        time.sleep(0.2)
    raise SystemExit(f"screenshot: {needle!r} did not appear on the screen within {WAIT:g} s:\n"
                     + _SGR.sub("", screen))


def main(target: str) -> None:
    docs = (ROOT / "docs" / "editors.md").read_text()
    setup = re.search(r"```lua\n(.*?)```", docs[docs.index("## Neovim"):], re.DOTALL).group(1)
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        shutil.copy(ROOT / "examples" / "cell.yaml", work / "cell.yaml")
        (work / "pick_place.vemo").write_text(SCRIPT)
        (work / "init.lua").write_text(setup + DISPLAY)
        (work / "bin").mkdir()
        (work / "bin" / "vemo").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m vemo "$@"\n')
        (work / "bin" / "vemo").chmod(0o755)
        env = dict(os.environ, PATH=f"{work / 'bin'}{os.pathsep}{os.environ['PATH']}", TERM="xterm-256color",
                   PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")])))
        subprocess.run(["tmux", "new-session", "-d", "-s", SESSION, "-x", str(COLUMNS), "-y", str(ROWS),
                        f"nvim -n -i NONE -u {work / 'init.lua'} {work / 'pick_place.vemo'}"],
                       check=True, env=env, cwd=work, timeout=10)
        try:
            _wait_for("pick_place.vemo")
            time.sleep(3)  # the first check: hovers answer for the last text checked
            line = next(i for i, text in enumerate(SCRIPT.split("\n"), 1) if "move @ZAxis to down }" in text)
            _tmux("send-keys", "-t", SESSION, f":{line}", "Enter", "0", "f@", ":lua vim.lsp.buf.hover()", "Enter")
            screen = _wait_for("Sends to the handler")
        finally:
            subprocess.run(["tmux", "kill-session", "-t", SESSION], capture_output=True, timeout=10)
        page = work / "screen.html"
        page.write_text(_html(screen.rstrip("\n")))
        subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                        f"--screenshot={Path(target).resolve()}",
                        f"--window-size={int(COLUMNS * CELL_WIDTH) + 12},{ROWS * CELL_HEIGHT + 12}",
                        page.as_uri()], check=True, capture_output=True, timeout=60)
    print(f"wrote {target}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(ROOT / "docs" / "images" / "editor-neovim.png"))
