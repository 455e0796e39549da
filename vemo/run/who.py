"""Who did what: the channels an operator's command comes through and the `by` field that every operator
event of the journal carries (the channel, the local user, and for the console the remote address)."""

from __future__ import annotations

import getpass
from typing import Any

# Where a command or a hold comes from.
CHANNELS = ("terminal", "ctl", "console", "opcua", "interlock", "signal")
# The fields a `by` may have; a value longer than this is no user name, address or interlock name.
BY_FIELDS = ("channel", "user", "address", "name")
MAX_BY_TEXT = 200


class BadBy(ValueError):
    """A request's `by` that is not one: the message says why."""


def local_user() -> str | None:
    try:
        return getpass.getuser()
    except (KeyError, OSError):  # no name for this uid (a container without an entry in /etc/passwd)
        return None


def by(channel: str, *, user: str | None = None, address: str | None = None, name: str | None = None) -> dict:
    """A `by` for `channel`, with the local user unless `user` is given, and an address or interlock name."""
    if channel not in CHANNELS:
        raise ValueError(f"{channel!r} is no channel (one of {', '.join(CHANNELS)})")
    who: dict[str, Any] = {"channel": channel, "user": user if user is not None else local_user()}
    if address is not None:
        who["address"] = address
    if name is not None:
        who["name"] = name
    return {key: value for key, value in who.items() if value is not None}


def checked(value: Any, default_channel: str = "ctl") -> dict:
    """The `by` of a request: a JSON object of known fields with a known channel; none given, the default
    channel's with the local user. BadBy otherwise."""
    if value is None:
        return by(default_channel)
    if not isinstance(value, dict):
        raise BadBy("\"by\" is an object: {\"channel\": ..., \"user\": ..., \"address\": ...}")
    unknown = set(value) - set(BY_FIELDS)
    if unknown:
        raise BadBy(f"\"by\" takes no {', '.join(sorted(map(str, unknown)))}")
    for key, field in value.items():
        if not isinstance(field, str) or not field or len(field) > MAX_BY_TEXT:
            raise BadBy(f"\"by\".{key} is a text of 1 to {MAX_BY_TEXT} characters")
    if value.get("channel") not in CHANNELS:
        raise BadBy(f"\"by\".channel is one of {', '.join(CHANNELS)}")
    return dict(value)


def by_text(who: Any) -> str:
    """A `by` as the operator reads it: "console alice at 192.168.1.20", "interlock door", "terminal bob"."""
    if not isinstance(who, dict) or not isinstance(who.get("channel"), str):
        return "unknown"
    parts = [who["channel"]]
    for key, prefix in (("name", ""), ("user", ""), ("address", "at ")):
        if isinstance(who.get(key), str):
            parts.append(prefix + who[key])
    return " ".join(parts)
