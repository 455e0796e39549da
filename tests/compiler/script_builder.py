"""Drives VemoSemantics as a parser would: sub-rules first, each rule with a parse node of its fields."""

import actions
from compiler import VemoSemantics


class Node(dict):
    """A parse node as PEG parser generators make them: a mapping whose fields also read as attributes,
    a missing field reading as None."""

    def __getattr__(self, name):
        return self.get(name)


class Script:
    def __init__(self, node=Node):
        self.semantics = VemoSemantics()
        self.node = node

    def mod(self, name):
        return self.semantics.module("@" + name)

    def ident(self, name):
        return self.semantics.identifier(name)

    def move(self, module, position):
        return self.semantics.move(self.node(mod=self.mod(module), ident=self.ident(position)))

    def block(self, *primary, name=None, waits=(), then=None):
        """A block rule; `primary` holds actions, identifiers (str) naming declared blocks, or clauses."""
        elements = [self.ident(p) if isinstance(p, str) else p for p in primary]
        node = self.node(primary=elements[0] if len(elements) == 1 else elements)
        if name:
            node["ident"] = self.ident(name)
        if len(waits) == 1:
            node.update(wait="wait", dependency=self.ident(waits[0]))
        elif waits:
            node.update(wait="wait", dependLeft=self.ident(waits[0]),
                        dependRight=[self.ident(w) for w in waits[1:]])
        if then is not None:
            node["others"] = then
        return self.semantics.block(node)

    def clause(self, primary, **exception):
        return self.semantics.actionclause(self.node(primary=primary, **exception))

    def parallel(self, left, *right):
        node = self.node(asyncleft=left)
        if right:
            node["asyncright"] = list(right)
        return self.semantics.asyncblock(node)

    def compete(self, left, *right):
        node = self.node(competeleft=left)
        if right:
            node["competeright"] = list(right)
        return self.semantics.competeblock(node)

    def loop(self, body, count):
        return self.semantics.loop(self.node(iterateBlock=body, cnt=self.semantics.number(str(count))))

    def declare(self, name, block):
        return self.semantics.declaration(self.node(ident=self.ident(name), action=block))

    def program(self):
        return self.semantics.action(self.node())


def plans(main):
    """What a host hands to its modules: per module, the evaluated list (or lane map of a competition)."""
    if main.isAsync:
        return [block.evaluate() for block in main.async_block_map.values()]
    return [main.evaluate()]


def kind_of(plan):
    lanes = plan.values() if isinstance(plan, dict) else [plan]
    return next(lane[0].module for lane in lanes if lane)


def run(main, timeout=10):
    """Runs the program on the test host's modules; returns the journal as (module, target) pairs."""
    actions.reset_journal()
    modules = []
    for plan in plans(main):
        module = kind_of(plan)(plan)
        module.COMPETE_LOOP_WAIT_TIME_SEC = 0.01
        modules.append(module)
    threads = [module.async_run() for module in modules]
    for thread in threads:
        thread.join(timeout)
    assert not any(thread.is_alive() for thread in threads), "program did not finish"
    return [(module, target) for module, _, target in actions.journal]
