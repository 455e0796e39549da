"""The concrete syntax of Vemo scripts, as a TatSu grammar, and the compiled parser model."""

from __future__ import annotations

import functools

import tatsu

# Rule names that carry semantics are those of the compiler's operations. Term rules wrap their token
# in a `value` field so that the token keeps its parse position; the front end hands the text itself
# to the compiler. Alternatives that have no semantics (`branch`, `element`, ...) only pass a sub-result on.
#
# Every construct starts with its own keyword or symbol, so the parser commits (`~`) right after it
# and a syntax error is reported where it happens instead of at the start of the declaration.
GRAMMAR = r"""
@@grammar :: Vemo
@@eol_comments :: /#[^\n]*/
@@keyword :: along and async call compete except loop move off on or set then times to transfer tray try wait

action = declarations:{ declaration }+ $ ;

declaration = ident:identifier '=' ~ action:asyncblock ;

asyncblock
    =
    | 'async' ~ asyncleft:branch 'and' ~ asyncright+:branch { 'and' ~ asyncright+:branch }
    | asyncleft:competeblock
    ;

competeblock
    =
    | 'compete' ~ competeleft:branch 'or' ~ competeright+:branch { 'or' ~ competeright+:branch }
    | competeleft:branch
    ;

branch = loop | actionclause | block ;

loop = 'loop' ~ cnt:number 'times' ~ iterateBlock:branch ;

actionclause = 'try' ~ primary:block [ 'except' ~ exception:block ] ;

block = links+:link { 'then' ~ links+:link } ;

link
    =
    [ ident:identifier ':' ]
    [ wait:'wait' ~ waits+:identifier { ',' ~ waits+:identifier } ]
    '{' ~ primary:{ element }+ '}'
    ;

element = move | io | transfer | external | identifier ;

move = 'move' ~ mod:module 'to' ~ ident:identifier ;

io = 'set' ~ mod:module ident:identifier status:status ;

status = number | 'on' | 'off' ;

transfer = 'transfer' ~ mod:module 'tray' ~ tray:number 'along' ~ ident:identifier ;

external
    =
    'call' ~ mod:module '.' ~ ident:identifier
    '(' ~ [ argLeft:argument { ',' ~ argRight+:argument } ] ')'
    ;

argument = number | extern_str ;

identifier = value:name ;

@name
name = /[A-Za-z_][A-Za-z0-9_]*/ ;

number = value:/-?[0-9]+/ ;

extern_str = value:/"[^"\n]*"/ ;

module = value:/@+[A-Za-z_][A-Za-z0-9_@]*/ ;
"""


@functools.cache
def model() -> tatsu.grammars.Grammar:
    """The compiled parser, built once per process (compiling the grammar costs far more than a parse)."""
    return tatsu.compile(GRAMMAR, name="Vemo")
