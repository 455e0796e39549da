"""The operator's commands of a live run, as one table: what each sends, the run states where it applies,
its key on the terminal, its label and confirmation in the console, and why it is refused elsewhere. The
control socket, `vemo ctl`, the terminal keys and the console all read this table."""

from __future__ import annotations

import html
import json
from typing import Any, NamedTuple

from vemo.run.states import ENDED, LIVE, PAUSED, PAUSING, RUNNING, STARTING, STOPPING, WAITING_DECISION


class Argument(NamedTuple):
    """An argument the operator gives a command (`vemo ctl DIR input MODULE POINT on|off`)."""

    name: str
    help: str
    choices: tuple[str, ...] = ()


class Command(NamedTuple):
    name: str  # the row's name: `vemo ctl DIR NAME`, the console's button id
    help: str
    states: frozenset[str]  # the run states in which it applies
    key: str | None = None  # its key on the terminal
    label: str | None = None  # its button in the console; None: no button
    confirm: str | None = None  # the question the console asks before sending it
    command: str | None = None  # the request's "command" when it is not `name` (pause-now is pause, now: true)
    fixed: tuple[tuple[str, Any], ...] = ()  # fields the request always carries
    arguments: tuple[Argument, ...] = ()
    needs_safe: bool = False  # refused while an interlock is not safe
    needs_loop: bool = False  # refused when the script has no loop that the run makes as it goes
    refusal: str = ""  # why it is refused in a live state where it does not apply ({state} is the run's)
    group: str = "run"  # where the console shows its button: with the run's or with the decision

    @property
    def request(self) -> dict:
        return {"command": self.command or self.name, **dict(self.fixed)}


DECISIONS = ("retry", "skip", "abort")
# Every request may say who sends it (vemo.run.who): the journal's events carry it as `by`.
BY_FIELD = "by"
_DECISION_REFUSAL = "no failure waits for a decision: {name} applies only then"

COMMANDS = (
    Command("status", "the run's state, the commands that apply now and each module's state as JSON",
            frozenset({STARTING, *LIVE, STOPPING, ENDED})),
    Command("pause", "every module finishes its action and starts no new one", frozenset({RUNNING}),
            key="p", label="Pause", refusal="the run is already {state}"),
    Command("pause-now", "also stop the axes in motion; their motions are sent again to the same targets on resume",
            frozenset({RUNNING, PAUSING}), key="P", label="Pause now", command="pause", fixed=(("now", True),),
            refusal="the run is already {state}"),
    Command("resume", "go on after a pause", frozenset({PAUSING, PAUSED}), key="r", label="Resume",
            needs_safe=True, refusal="the run is not paused"),
    Command("stop", "end the run as Ctrl-C does (exit 130)", LIVE, key="s", label="Stop",
            confirm="Stop the run? Axes in motion are stopped and the run ends."),
    Command("stop-after-cycle", "end the run once every module has finished the current iteration of its loop "
                                "(exit 0); what follows the loop does not run", LIVE, key="c",
            label="Stop after cycle", needs_loop=True),
    Command("retry", "run the failed action again (once every interlock is safe)", frozenset({WAITING_DECISION}),
            key="r", label="Retry", needs_safe=True, refusal=_DECISION_REFUSAL, group="decision"),
    Command("skip", "mark the failed action skipped and go on", frozenset({WAITING_DECISION}), key="k",
            label="Skip", confirm="Skip the failed action? It is marked skipped and the run goes on without it.",
            refusal=_DECISION_REFUSAL, group="decision"),
    Command("abort", "end the run after a failure", frozenset({WAITING_DECISION}), key="a", label="Abort",
            confirm="Abort the run?", refusal=_DECISION_REFUSAL, group="decision"),
    Command("input", "set a simulated input (embedded simulator only)", LIVE,
            arguments=(Argument("module", "the IO module of the cell"),
                       Argument("point", "the input's name under the module's inputs:"),
                       Argument("value", "on or off", ("on", "off")))),
)
BY_NAME = {command.name: command for command in COMMANDS}
OPERATOR_COMMANDS = tuple(command for command in COMMANDS if command.label is not None)
# The request fields each protocol command takes besides "command".
FIELDS = {request: {key for c in COMMANDS if (c.command or c.name) == request
                    for key in [*dict(c.fixed), *(a.name for a in c.arguments)]}
          for request in dict.fromkeys(c.command or c.name for c in COMMANDS)}


class UnknownRequest(ValueError):
    """A request that names no command of the table, or carries a field its command does not take."""


def find(request: dict) -> Command:
    """The row a request asks for; UnknownRequest when there is none."""
    name = request.get("command")
    if name not in FIELDS:
        raise UnknownRequest(f"unknown command {name!r}: one of {', '.join(FIELDS)}")
    unknown = set(request) - {"command", BY_FIELD} - FIELDS[name]
    if unknown:
        raise UnknownRequest(f"{name} takes no {', '.join(sorted(map(str, unknown)))}")
    for command in COMMANDS:
        for key, value in command.fixed:
            if (command.command or command.name) == name and key in request \
                    and type(request[key]) is not type(value):
                raise UnknownRequest(f"\"{key}\" is {'true or false' if isinstance(value, bool) else type(value).__name__}")
    for command in COMMANDS:
        if (command.command or command.name) == name and command.fixed and \
                all(request.get(key, False) == value for key, value in command.fixed):
            return command
    return BY_NAME[name]


_NO_LOOP = "the script has no long loop (more than 3 rounds, or forever): stop ends the run now"


def refusal(command: Command, state: str, tripped: list[str] | tuple[str, ...] = (), loops: bool = True) -> str | None:
    """Why `command` does not apply in `state` with the interlocks `tripped`, in a run with or without
    `loops` that it makes as it goes; None when it applies."""
    if command.needs_loop and not loops:
        return _NO_LOOP
    if state in command.states:
        if command.needs_safe and tripped:
            return f"interlock {', '.join(tripped)} is not safe: {command.name} once it is safe again"
        return None
    if state == ENDED:
        return "the run has ended"
    if state == STOPPING:
        return "the run is stopping"
    if state == STARTING:
        return "the run has not started yet"
    if state == WAITING_DECISION:
        return "the run waits for a decision on a failure: retry, skip or abort"
    return command.refusal.format(state=state, name=command.name) or f"{command.name} does not apply while {state}"


def applicable(state: str, tripped: list[str] | tuple[str, ...] = (), loops: bool = True) -> list[str]:
    """The operator commands that apply now, by name, in table order."""
    return [command.name for command in OPERATOR_COMMANDS if refusal(command, state, tripped, loops) is None]


def for_key(key: str, state: str) -> Command | None:
    """The command of a terminal key in `state` (r is resume or retry by the state)."""
    return next((c for c in OPERATOR_COMMANDS if c.key == key and state in c.states), None)


def key_help(state: str, tripped: list[str] | tuple[str, ...] = (), loops: bool = True) -> str:
    """The keys that apply now, as the line under the live table shows them."""
    return "  ".join(f"{c.key} {c.label.lower()}" for c in OPERATOR_COMMANDS
                     if c.key is not None and refusal(c, state, tripped, loops) is None)


def buttons_html(group: str) -> str:
    """The console's buttons of `group` ("run" or "decision"), drawn from the table; the page enables
    those that the snapshot's `commands` name."""
    return "\n  ".join(
        f'<button id="{html.escape(c.name)}" data-request="{html.escape(json.dumps(c.request))}"'
        + (f' data-confirm="{html.escape(c.confirm)}"' if c.confirm else "") + f' disabled>{html.escape(c.label)}</button>'
        for c in OPERATOR_COMMANDS if c.group == group)
