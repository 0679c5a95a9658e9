# vorl.pyi: the types of the vorl extension module, for type checkers.
import sys as sys
from collections.abc import Iterable

__all__ = ["stringify", "parse"]

# The digit characters of the H digit written before each length field; the writer
# reads it for every item it writes.
HEX: str
# The SyntaxError argument for text that ends too early; read each time that error is raised.
ErrUnexpectedEndOfInput: str
# "utf-16-le" or "utf-16-be": the native byte order's UTF-16 codec name.
UTF16_CODEC: str
__test__: dict[str, object]

# Rows of items; an item that is not a str is written as str(item).
def stringify(lists: Iterable[Iterable[object]]) -> str: ...

# The argument must be exactly a str (not a subclass); malformed text raises SyntaxError.
def parse(vorl: str) -> list[list[str]]: ...
