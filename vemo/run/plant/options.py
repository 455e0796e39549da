"""The MQTT publisher's broker options (TLS, login), as `vemo mqtt` takes them and `vemo run` passes them on;
kept apart so that building the command line loads nothing of the publisher."""

from __future__ import annotations

import argparse

DEFAULT_PORT, DEFAULT_TLS_PORT = 1883, 8883
PASSWORD_ENV = "VEMO_MQTT_PASSWORD"
OPTIONS = ("tls", "cafile", "certfile", "keyfile", "username", "password_file")


def add_options(parser: argparse.ArgumentParser, prefix: str = "") -> None:
    """The broker's TLS and login options, as `vemo mqtt` and (with prefix "mqtt-") `vemo run` take them."""
    parser.add_argument(f"--{prefix}tls", action="store_true",
                        help=f"connect with TLS (default port {DEFAULT_TLS_PORT}), checking the broker's certificate")
    parser.add_argument(f"--{prefix}cafile", metavar="FILE",
                        help="the certificate authorities that sign the broker's certificate (PEM; implies TLS; "
                             "default: the system's)")
    parser.add_argument(f"--{prefix}certfile", metavar="FILE", help="this client's certificate for the broker (PEM)")
    parser.add_argument(f"--{prefix}keyfile", metavar="FILE", help=f"the private key of --{prefix}certfile (PEM)")
    parser.add_argument(f"--{prefix}username", metavar="NAME", help="the user to log in to the broker as")
    parser.add_argument(f"--{prefix}password-file", metavar="FILE",
                        help=f"a file whose first line is the broker password (or set {PASSWORD_ENV})")


def option_arguments(args: argparse.Namespace, prefix: str = "") -> list[str]:
    """The options of `add_options` given to `vemo run`, as `vemo mqtt` takes them."""
    attribute = prefix.replace("-", "_")
    out: list[str] = []
    for name in OPTIONS:
        value = getattr(args, attribute + name, None)
        if value is True:
            out.append("--" + name.replace("_", "-"))
        elif value not in (None, False):
            out += ["--" + name.replace("_", "-"), str(value)]
    return out
