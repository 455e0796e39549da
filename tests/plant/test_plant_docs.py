"""docs/plant.md tells what the bridges serve: the PackML table of the run's states, the OPC UA address space
and methods, and the fields of the MQTT state message, each checked against the table the code reads."""

import re
from pathlib import Path

import pytest

from vemo.run.plant.opcua import DECISION_VARIABLES, METHODS, MODULE_VARIABLES, RUN_VARIABLES
from vemo.run.plant.state import PlantView, topic_safe
from vemo.run.states import PACKML, PACKML_ENDED, ENDED

DOC = (Path(__file__).resolve().parents[2] / "docs" / "plant.md").read_text(encoding="utf-8")


def rows(header):
    """The rows of the table under the line `header`, as lists of cells without backticks."""
    lines = DOC[DOC.index(header):].splitlines()[2:]
    return [[cell.strip().strip("`") for cell in line.strip("|").split("|")]
            for line in lines[:next(i for i, line in enumerate(lines) if not line.startswith("|"))]]


def test_the_packml_table_is_the_one_of_the_state_machine():
    expected = [[state, p.name, str(p.number)] for state, p in PACKML.items() if state != ENDED]
    expected += [[f"ended ({outcome})", p.name, str(p.number)] for outcome, p in PACKML_ENDED.items()]
    assert rows("| run state | PackML state | number |") == expected


def test_the_address_space_and_the_methods_are_those_served():
    served = [[f"Run/{v.name}", v.type] for v in RUN_VARIABLES]
    served += [[f"Modules/NAME/{v.name}", v.type] for v in MODULE_VARIABLES]
    served += [["Interlocks/NAME/Safe", "Boolean"]]
    served += [[f"Decision/{v.name}", v.type] for v in DECISION_VARIABLES]
    assert [row[:2] for row in rows("| node | type | value |")] == served
    assert [row[0] for row in rows("| method | arguments | the command |")] == list(METHODS)


def test_the_state_message_fields_are_those_published():
    documented = [name for row in rows("| field | value |") for name in re.findall(r"[a-z_]+", row[0])]
    assert sorted(documented) == sorted(["cell", "run", "online", *PlantView().snapshot()])


@pytest.mark.parametrize("name, level", [("demo", "demo"), ("line 3/cell#1+", "line_3_cell_1_"), ("", "_"),
                                         ("zelle-ä.2", "zelle-_.2")])
def test_a_cell_name_becomes_one_topic_level_without_wildcards(name, level):
    assert topic_safe(name) == level
