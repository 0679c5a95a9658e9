"""A typed use of vorl, checked with `mypy --strict` against the installed stub and run as is."""
from collections.abc import Iterator
from typing import assert_type

import vorl


def table() -> Iterator[tuple[str, int]]:
    yield "Ada", 1815
    yield "Zoë", 1952


rows: list[list[str]] = [["id", "name"], ["1", "🦊 fox"], []]
text = vorl.stringify(rows)
assert_type(text, str)

# Any iterable of iterables; items that are not str are written as str(item).
assert_type(vorl.stringify(table()), str)
assert_type(vorl.stringify(lists=((1, 2.5, None),)), str)

read_back = vorl.parse(vorl=text)
assert_type(read_back, list[list[str]])
first_names = [row[1] for row in read_back if row]

try:
    vorl.parse("05hello;x")
except SyntaxError as error:
    message = error.args[0]
    assert message == "Unexpected token 'x' at position 8"

assert_type(vorl.HEX, str)
assert_type(vorl.ErrUnexpectedEndOfInput, str)
assert_type(vorl.UTF16_CODEC, str)
assert_type(vorl.__all__, list[str])
assert_type(vorl.__test__, dict[str, object])
assert vorl.sys.byteorder in ("little", "big")
assert text.encode(vorl.UTF16_CODEC).decode(vorl.UTF16_CODEC) == text
assert read_back == rows and first_names == ["name", "🦊 fox"]
