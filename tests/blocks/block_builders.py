"""Builders shared by the block tests: actions of the test host's module kinds, blocks from lists."""

from actions import Move
from blocks import StandardBlock
from modules import XAxis


def acts(count, module=XAxis, prefix="p"):
    return [Move(module, position=f"{prefix}{i}") for i in range(count)]


def standard(elements, identifier=None):
    block = StandardBlock(identifier)
    block.add(list(elements))
    return block


def chain(*blocks):
    for block, following in zip(blocks, blocks[1:]):
        block.next_block = following
    return blocks[0]

