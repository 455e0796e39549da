"""The operator's words for a run: why it is held and what to do (the console's banner, the terminal's line),
why it ended, and one line per entry of the event log (pauses, trips, clears, retries, skips, decisions).
Every view takes these words from here, drawn from the run's one fold."""

from __future__ import annotations

import datetime
from typing import Any, Callable

from vemo.run.who import by_text

# How a cause of a stop reads to the operator.
STOP_WORDS = {"failure": "an action failed", "abort": "the operator aborted after a failure",
              "journal": "the journal could not be written (is the disk full?)",
              "handler_lost": "the handler stopped answering", "operator": "the operator stopped it",
              "signal": "a stop signal (Ctrl-C, SIGTERM or SIGHUP)"}
# The tone of a banner: the console colours it, the terminal too; never the colour alone tells it.
TONES = ("info", "held", "attention", "failed", "finished")


def clock(fold: Any, t: Any) -> str:
    """The wall-clock time (HH:MM) of the run's time `t`, from the start time its journal gives; "" if unknown."""
    started = (fold.records.started or {}).get("started")
    if not isinstance(started, str) or not isinstance(t, (int, float)):
        return ""
    try:
        begun = datetime.datetime.strptime(started, "%Y-%m-%dT%H:%M:%S%z")
    except ValueError:
        return ""
    return (begun + datetime.timedelta(seconds=float(t) - fold.start_t)).strftime("%H:%M")


def _who(fold: Any, by: Any, t: Any) -> str:
    when = clock(fold, t)
    return ", ".join(part for part in (by_text(by) if by is not None else "", when) if part)


def failure_text(decision: dict) -> str:
    """A failed action: module, action, script location and reason."""
    reason = str(decision.get("reason"))
    if reason.startswith(f"{decision.get('module')}: "):
        return reason  # the failure's text names module, action and location itself
    where = f" ({decision.get('location')})" if decision.get("location") else ""
    return f"{decision.get('module')} failed: {decision.get('text')}{where}: {reason}"


def _interlock_text(fold: Any, name: str) -> str:
    entry = fold.interlocks.get(name, {})
    module, point, value = entry.get("module"), entry.get("input"), entry.get("value")
    level = "" if value is None else f" is {'on' if value is True else 'off' if value is False else value}"
    what = f"{module} {point}{level}" if module and point else "not safe"
    return f"Interlock {name}: {what}"


def held_reason(fold: Any) -> dict | None:
    """Why the run is not simply running and what to do, as {"tone", "text"}; None while it runs."""
    state = fold.state
    tripped = fold.tripped()
    if fold.ended is not None:
        return ended_reason(fold)
    if not fold.started:
        return {"tone": "info", "text": "Starting: the run has not begun yet"}
    if state == "stopping":
        stop = fold.stop_by or {}
        who = _who(fold, stop.get("by"), stop.get("t")) if stop.get("by") else ""
        cause = STOP_WORDS.get(str(fold.stop_cause), str(fold.stop_cause))
        return {"tone": "attention", "text": f"Stopping: {cause}{f' ({who})' if who else ''} — the modules end "
                                             f"their current action"}
    if tripped:
        names = ", ".join(_interlock_text(fold, name) for name in tripped)
        after = "then retry, skip or abort" if state == "waiting_decision" else \
            "then Resume" if fold.pause is None or fold.pause.get("cause") != "interlock" or fold.pause_by else \
            "the run goes on by itself or waits for Resume, as the interlock says"
        return {"tone": "attention", "text": f"{names} — make it safe, {after}"}
    if state == "waiting_decision" and fold.decision is not None:
        return {"tone": "attention", "text": f"{failure_text(fold.decision)} — Retry, Skip or Abort"}
    if state in ("paused", "pausing"):
        pause = fold.pause_by or {}
        who = _who(fold, pause.get("by"), pause.get("t"))
        how = "Paused" if state == "paused" else "Pausing: the actions in flight finish first"
        interrupted = ", motions stopped" if fold.pause and fold.pause.get("mode") == "immediate" else ""
        if not pause and fold.pause and fold.pause.get("cause") == "interlock":
            return {"tone": "held", "text": "Held by an interlock that is safe again — Resume to go on"}
        return {"tone": "held", "text": f"{how} by the operator ({who}{interrupted}) — Resume to go on"
                if who else f"{how}{interrupted} — Resume to go on"}
    if fold.cycle_stop is not None:
        stop = fold.cycle_stop
        who = _who(fold, stop.get("by"), stop.get("t"))
        return {"tone": "info", "text": f"Ends after iteration {stop.get('iteration')}{f' ({who})' if who else ''}"
                                        f" — the modules finish that iteration, then the run ends"}
    return None


def ended_reason(fold: Any) -> dict:
    """Why the run ended, in the tone of its outcome: finished, failed (with the first failure), stopped."""
    ended = fold.ended or {}
    outcome, code = ended.get("outcome"), ended.get("exit_code")
    if outcome == "finished" and fold.cycle_stop is not None:
        return {"tone": "finished", "text": f"Finished: ended after iteration {fold.cycle_stop.get('iteration')} "
                                            f"as asked (exit code {code})"}
    if outcome == "finished":
        return {"tone": "finished", "text": f"Finished: every action ran (exit code {code})"}
    stop = fold.stop_by or {}
    if outcome in ("interrupted", "terminated"):
        who = _who(fold, stop.get("by"), stop.get("t"))
        cause = STOP_WORDS.get(str(stop.get("cause")), "stopped")
        return {"tone": "failed", "text": f"Stopped: {cause}{f' ({who})' if who else ''} (exit code {code})"}
    if fold.handler_lost is not None:
        return {"tone": "failed", "text": f"Failed: the handler stopped answering "
                                          f"({fold.handler_lost.get('reason')}) (exit code {code})"}
    failed = next((r for r in fold.records.failures if r.outcome == "error"), None)
    why = failure_text({"module": failed.module, "text": failed.text, "location": failed.origin,
                        "reason": failed.reason}) if failed is not None else \
        STOP_WORDS.get(str(stop.get("cause")), "actions were not run")
    return {"tone": "failed", "text": f"Failed: {why} (exit code {code})"}


def _action(event: dict) -> str:
    return f"{event.get('module')}: {event.get('text')}"


def _paused(event: dict, fold: Any) -> str | None:
    cause = event.get("cause")
    if cause == "failure":
        failure = event.get("failure") if isinstance(event.get("failure"), dict) else {}
        return "Decision needed: " + failure_text({"module": failure.get("module"), "text": failure.get("action"),
                                                     "location": failure.get("location"),
                                                     "reason": failure.get("reason")})
    if cause == "operator":
        return "Paused now (motions stopped)" if event.get("mode") == "immediate" else "Paused"
    return None  # an interlock's hold: its trip is the entry


def _ended(event: dict, fold: Any) -> str | None:
    if event.get("outcome") == "skipped":
        return f"Skipped {_action(event)}"
    return None


# The entries of the event log: for each event, its kind and text (None: no entry for this one).
_LOG: dict[str, tuple[str, Callable[[dict, Any], str | None]]] = {
    "paused": ("pause", _paused),
    "resumed": ("resume", lambda e, f: "Resumed" if e.get("cause") == "operator"
                else "Resumed by itself: the interlocks are safe again"),
    "interlock_tripped": ("trip", lambda e, f: _interlock_text(f, str(e.get("name"))) + " — tripped"),
    "interlock_cleared": ("clear", lambda e, f: _interlock_text(f, str(e.get("name"))) + " — safe again"),
    "retry": ("retry", lambda e, f: f"Retry {e.get('attempt')} of {_action(e)}"),
    "action_ended": ("skip", _ended),
    "decided": ("decision", lambda e, f: f"{str(e.get('answer')).capitalize()} chosen for {_action(e)}"),
    "stopping": ("stop", lambda e, f: f"Stopping: {STOP_WORDS.get(str(e.get('cause')), str(e.get('cause')))}"),
    "cycle_stop_requested": ("stop", lambda e, f: f"Asked to end after iteration {e.get('iteration')}"),
    "input_set": ("input", lambda e, f: f"Input {e.get('module')} {e.get('point')} set {e.get('value')}"),
    "motion_interrupted": ("motion", lambda e, f: f"{e.get('module')}: motion stopped (axes {e.get('axes')})"),
    "axis_stop_refused": ("motion", lambda e, f: f"The handler refused to stop axis {e.get('axis')}: it may "
                                                 f"still be moving"),
    "handler_lost": ("handler", lambda e, f: f"The handler stopped answering: {e.get('reason')}"),
    "run_ended": ("end", lambda e, f: ended_reason(f)["text"]),
}
# The interlock and the signal are who acts for these when the event names no one.
_ACTOR = {"interlock_tripped": "interlock", "interlock_cleared": "interlock"}


def log_entry(event: dict, fold: Any) -> dict | None:
    """The event log's entry for `event` ({"t", "kind", "text", "by"}), None when it makes none."""
    row = _LOG.get(event.get("event"))
    if row is None:
        return None
    kind, words = row
    text = words(event, fold)
    if text is None:
        return None
    by = event.get("by")
    if by is None and event.get("event") in _ACTOR:
        by = {"channel": _ACTOR[event["event"]], "name": str(event.get("name"))}
    return {"t": event.get("t"), "kind": kind, "text": text, "by": by, "clock": clock(fold, event.get("t"))}


def log_line(entry: dict) -> str:
    """One entry of the event log as a line of text (`vemo report`)."""
    who = f"  [{by_text(entry['by'])}]" if entry.get("by") is not None else ""
    when = f" ({entry['clock']})" if entry.get("clock") else ""
    return f"{float(entry['t']):8.2f} s{when}  {entry['text']}{who}"
