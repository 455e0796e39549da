"""The front end's checks in one call: syntax, bounds, compile errors and the static analysis of waits, as
located diagnostics for `vemo check`, `vemo run` and editors."""

from __future__ import annotations

import dataclasses
import types
from typing import Callable

from vemo.lang.analysis import Analysis, analyse
from vemo.lang.frontend import CompiledScript, ParsedScript, collector_paused, compile_script, parse_script
from vemo.lang.parser import Diagnostic, ScriptError, SourceLocation
from vemo.lang.scriptbounds import MAX_ACTIONS


@dataclasses.dataclass
class CheckResult:
    """What the checks found; `compiled` and `analysis` are there once the script compiled."""

    diagnostics: list[Diagnostic]
    compiled: CompiledScript | None = None
    analysis: Analysis | None = None

    @property
    def ok(self) -> bool:
        return not any(d.severity == "error" for d in self.diagnostics)


def _location(origin: str | None) -> SourceLocation | None:
    """A location printed as FILE:LINE:COLUMN read back; None for anything else."""
    if origin is None:
        return None
    file, _, rest = origin.rpartition(":")
    file, _, line = file.rpartition(":")
    if not (file and line.isdigit() and rest.isdigit()):
        return None
    return SourceLocation(file, int(line), int(rest))


def check_script(text: str | ParsedScript, filename: str,
                 compiler: types.ModuleType | Callable[[], types.ModuleType] | None = None, *,
                 max_actions: int = MAX_ACTIONS) -> CheckResult:
    """Checks a script. `compiler` is the runtime's compiler module, or a function that loads it (called only
    once the script parses, so that a syntax error is reported even when no cell can be loaded), or None
    for the checks that need no cell. What loading the compiler raises is left to the caller. A caller that
    has parsed the script already (an editor keeps its parse tree) passes the ParsedScript."""
    try:
        parsed = text if isinstance(text, ParsedScript) else parse_script(text, filename, max_actions)
    except ScriptError as error:
        return CheckResult([error.diagnostic()])
    if compiler is None:
        return CheckResult([])
    if not isinstance(compiler, types.ModuleType):
        compiler = compiler()
    script = parsed.script
    try:
        compiled = compile_script(parsed, filename, compiler, max_actions)
    except ScriptError as error:
        return CheckResult([error.diagnostic()])
    del parsed  # the parse tree, as large as the compiled script, is not needed any more
    with collector_paused():
        analysis = analyse(compiled)
    diagnostics = []
    for problem in analysis.problems:
        location = _location(problem.origin)
        line = script.line_text(location) if location is not None and location.file == filename else None
        diagnostics.append(Diagnostic("error", problem.message, location, line, actions=tuple(problem.actions)))
    return CheckResult(diagnostics, compiled, analysis)
