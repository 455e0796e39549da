"""Reads the project's YAML files (cell descriptions, handler settings) within bounds on nesting and size.

The bounds are those of the handler settings reader in C++ (`kinra::SettingsLimits`), so the runtime and
the simulator accept and refuse the same files. They are checked on the event stream, before any object
is built: an alias counts as the nodes it stands for, so a file of nested aliases ("billion laughs") is
refused at once instead of being walked, and nesting is refused before it can exhaust the stack.
"""

from __future__ import annotations

from typing import Any

import yaml

MAX_DEPTH = 100
MAX_NODES = 200_000


class YamlError(ValueError):
    """A YAML file that cannot be read; the message names the file and, where known, line and column."""


def _place(source: str, mark: Any) -> str:
    return f"{source}:{mark.line + 1}:{mark.column + 1}" if mark is not None else source


def _check_bounds(text: str, source: str) -> None:
    nodes = 0
    open_collections: list[list] = []  # per open collection: [anchor, nodes before it, height of its subtree]
    expanded: dict[str, tuple[int, int]] = {}  # anchor -> (nodes, height)

    def grow(height: int, mark: Any) -> None:
        if len(open_collections) + height > MAX_DEPTH:
            raise YamlError(f"{_place(source, mark)}: nested too deep (more than {MAX_DEPTH} levels)")
        if nodes > MAX_NODES:
            raise YamlError(f"{_place(source, mark)}: more than {MAX_NODES} nodes (aliases multiply the tree)")
        if open_collections:
            open_collections[-1][2] = max(open_collections[-1][2], height + 1)

    for event in yaml.parse(text, Loader=yaml.SafeLoader):
        if isinstance(event, yaml.AliasEvent):
            # An unknown alias is reported by the loader; one to a collection still open makes a cycle,
            # which the loader builds without copying: either counts as one node, and the rest of the
            # file is checked as well.
            size, height = expanded.get(event.anchor, (1, 0))
            nodes += size
            grow(height, event.start_mark)
        elif isinstance(event, yaml.ScalarEvent):
            nodes += 1
            grow(0, event.start_mark)
            if event.anchor:
                expanded[event.anchor] = (1, 0)
        elif isinstance(event, yaml.CollectionStartEvent):
            nodes += 1
            grow(0, event.start_mark)
            open_collections.append([event.anchor, nodes - 1, 0])
        elif isinstance(event, yaml.CollectionEndEvent):
            anchor, before, height = open_collections.pop()
            if open_collections:
                open_collections[-1][2] = max(open_collections[-1][2], height + 1)
            if anchor:
                expanded[anchor] = (nodes - before, height)


class _UniqueKeyLoader(yaml.SafeLoader):
    """The safe loader, refusing a key given twice in one mapping instead of keeping the last value."""

    source = "<yaml>"

    def construct_mapping(self, node: Any, deep: bool = False) -> dict:
        seen: dict[Any, Any] = {}
        for key_node, _ in node.value:
            if key_node.tag == "tag:yaml.org,2002:merge":
                continue
            key = self.construct_object(key_node, deep=True)
            try:
                first = seen.setdefault(key, key_node)
            except TypeError:
                continue  # an unhashable key: the base class reports it
            if first is not key_node:
                raise YamlError(f"{_place(self.source, key_node.start_mark)}: {key!r} is given twice in this "
                                f"mapping (first at line {first.start_mark.line + 1})")
        return super().construct_mapping(node, deep)


def load_yaml(text: str, source: str, *, unique_keys: bool = False) -> Any:
    """The data of one YAML document. Raises YamlError for invalid YAML, nesting deeper than MAX_DEPTH, more
    than MAX_NODES nodes once aliases are expanded, and (with `unique_keys`) a key repeated in a mapping."""
    try:
        _check_bounds(text, source)
        if not unique_keys:
            return yaml.safe_load(text)
        loader = type("Loader", (_UniqueKeyLoader,), {"source": source})
        return yaml.load(text, Loader=loader)
    except yaml.YAMLError as error:
        raise YamlError(f"{source}: not valid YAML: {error}") from None
