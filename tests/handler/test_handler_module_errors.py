"""Motor commands for a module that is no motor or that the settings do not have: an error that names the module
and sends nothing; and an interrupt while the settings are read reaches the caller."""

import os
import re

import pytest

import kinra_client

IO_MODULE, UNKNOWN = 10, 99
NO_SUCH_MODULE = "no module with KinraID 99 in the handler settings "


@pytest.mark.parametrize("call, error, message", [
    (lambda c: c.motor_ptp(IO_MODULE, 1.0), KeyError, "motor_ptp: module 10 is an IO module without Params / "
                                                      "DistanceFactor in the handler settings, so it cannot move"),
    (lambda c: c.motor_relmv(IO_MODULE, 1.0), KeyError, "motor_relmv: module 10 is an IO module without Params"),
    (lambda c: c.move_and_check([13, IO_MODULE], [1, 1], [1, 1], [1, 1], [1, 1]), KeyError,
     "motor_ptp: module 10 is an IO module without Params"),
    (lambda c: c.axis_homing([13, IO_MODULE]), TypeError,
     "axis_homing: a request could not be built for module 10 (-2: it is not a motor), so nothing was sent"),
    (lambda c: c.motor_ptp(UNKNOWN, 1.0), KeyError, "motor_ptp: " + NO_SUCH_MODULE),
    (lambda c: c.motor_monitor(UNKNOWN), KeyError, "motor_monitor: " + NO_SUCH_MODULE),
    (lambda c: c.motor_home(UNKNOWN, block=True), KeyError, "motor_home: " + NO_SUCH_MODULE),
    (lambda c: c.motor_enable(UNKNOWN), KeyError, "MOTOR_ENABLE: " + NO_SUCH_MODULE),
    (lambda c: c.axis_homing([UNKNOWN]), KeyError, "motor_home: " + NO_SUCH_MODULE),
    (lambda c: c.move_and_check([UNKNOWN], [1], [1], [1], [1]), KeyError, "motor_ptp: " + NO_SUCH_MODULE),
])
def test_a_motor_command_for_a_module_that_is_no_motor_names_it_and_sends_nothing(client, server_factory, call,
                                                                                 error, message):
    server = server_factory()
    with pytest.raises(error, match=re.escape(message)):
        call(client)
    assert server.requests == [] and server.log_requests == []


def test_the_documented_results_for_a_module_of_the_wrong_kind_stay(client, server_factory):
    server = server_factory()
    assert client.motor_monitor(IO_MODULE) == -2 and client.motor_enable(IO_MODULE) == -2
    assert client.io_monitor(13) == -2
    assert server.requests == [] and server.log_requests == []


class Interrupted(os.PathLike):
    """A settings path whose reading is interrupted, as by Ctrl-C while the client loads its settings."""

    def __init__(self, error):
        self.error = error

    def __fspath__(self):
        raise self.error


def test_an_interrupt_while_the_settings_load_reaches_the_caller_without_the_load_warning(capsys):
    with pytest.raises(KeyboardInterrupt):
        kinra_client.KinraClient(Interrupted(KeyboardInterrupt()))
    assert "Filed to load" not in capsys.readouterr().out


def test_an_error_while_the_settings_load_keeps_its_warning(capsys):
    with pytest.raises(Exception):
        kinra_client.KinraClient(Interrupted(OSError("disk gone")))
    assert capsys.readouterr().out.startswith("[Warning] Filed to load config file at ")
