"""Vemo: the host package of the Vemo workcell runtime (parser, reference host, command line)."""

__version__ = "0.1.0"
