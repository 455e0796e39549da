"""Test double of the host package `modules`: a few module kinds of a small workcell."""

from _vemomodule import VemoModule


class HostModule(VemoModule):
    name = "HostModule"
    configs = {}

    def setup(self, **configs):
        self.settings = configs

    def run(self):
        self.execute_sequence()


class XAxis(HostModule):
    name = "XAxis"
    configs = {"speed": 100}

    def home(self, *args):
        return ("home", args)


class YAxis(HostModule):
    name = "YAxis"
    configs = {"speed": 50}


class Gripper(HostModule):
    name = "Gripper"


class Tray(HostModule):
    name = "Tray"
