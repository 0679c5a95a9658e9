"""A slow, plain-Python VORL reader and writer that the tests hold the module against.

Written from the grammar alone: lengths and positions count UTF-16 code units; texts with no
code point above U+FFFF are read with the narrow rules, all others with the wide rules (one
character looser before a length field, the straddle test ahead of the end-of-text test).
Errors are raised as SyntaxError with the module's message texts.
"""

import sys

END_OF_INPUT = "Unexpected end of input"
HEX = "0123456789abcdef"

# H digit -> number of length characters. Upper case reads like lower case.
H_DIGITS = {c: i + 1 for i, c in enumerate(HEX)}
H_DIGITS.update({c.upper(): n for c, n in H_DIGITS.items()})
DIGITS = frozenset("0123456789")


def u16_len(s):
    """UTF-16 length; a lone surrogate is one unit, two in a row stay two."""
    return len(s.encode("utf-16-le", "surrogatepass")) // 2


def token_error(ch, position):
    return SyntaxError(f"Unexpected token '{ch}' at position {position}")


def end_error():
    return SyntaxError(END_OF_INPUT)


def low_surrogate(ch):
    """The second UTF-16 code unit of an astral character, as a one-character string."""
    unit = ch.encode("utf-16-le")[2:]
    return chr(int.from_bytes(unit, "little"))


def decode(text):
    """The rows of `text`, or SyntaxError as the module raises it."""
    if not text:
        raise end_error()
    wide = max(map(ord, text)) > 0xFFFF
    n = len(text)
    rows, row = [], []
    i = 0    # code-point index
    pos = 0  # UTF-16 position of text[i]
    while True:
        ch = text[i]
        if ch == ";":
            rows.append(row)
            i += 1
            pos += 1
            if i == n:
                return rows
            row = []
            continue
        h = H_DIGITS.get(ch)
        if h is None:
            raise token_error(ch, pos)
        field_end = i + 1 + h  # index just past the length field
        # Narrow texts need one more character after the field before any is read.
        if field_end > n or (not wide and field_end == n):
            raise end_error()
        value = 0
        for k in range(1, h + 1):
            c = text[i + k]
            if c not in DIGITS:
                raise token_error(c, pos + k)
            value = value * 10 + ord(c) - ord("0")
        i = field_end
        pos += 1 + h
        start = i
        units = 0
        while units < value:
            if i >= n:
                raise end_error()
            units += u16_len(text[i])
            i += 1
        if units > value:
            raise token_error(low_surrogate(text[i - 1]), pos + value)
        if i >= n:
            raise end_error()
        row.append(text[start:i])
        pos += value


def encode(rows):
    """The canonical text of `rows` (an iterable of iterables of str)."""
    parts = []
    for row in rows:
        for item in row:
            digits = str(u16_len(item))
            parts.append(HEX[len(digits) - 1] + digits + item)
        parts.append(";")
    return "".join(parts)


def outcome(func, arg):
    """('ok', value) or (exception type, args): a comparable record of a call."""
    try:
        return ("ok", func(arg))
    except Exception as e:  # noqa: BLE001 - the kind is part of the record
        return (type(e), e.args)


# ---- checks on what the module hands back --------------------------------------------

EMPTY = str()  # the interpreter's shared empty string

try:
    import _testcapi
except ImportError:  # a build without the test modules: the size check alone
    _testcapi = None


def canonical_problem(s, shared=True):
    """None when `s` is an exact str in its narrowest storage and, unless `shared` is false,
    the interpreter's shared object where it keeps one (empty, one character below U+0100);
    otherwise what is wrong."""
    if type(s) is not str:
        return f"type {type(s).__name__}"
    if not s:
        return None if s is EMPTY or not shared else "an empty string other than the shared one"
    top = max(map(ord, s))
    if len(s) == 1 and top < 0x100 and shared:
        return None if s is chr(top) else "a one-character string other than the shared one"
    # Repeating a canonical character yields a string of the same length and storage
    # class (ASCII compact, 1, 2 or 4 bytes per character).
    model = chr(top) * len(s)
    got, want = sys.getsizeof(s), sys.getsizeof(model)
    if got != want:
        return f"{got} bytes where the narrowest storage takes {want}"
    if _testcapi is not None:
        kind = 1 if top < 0x100 else 2 if top < 0x10000 else 4
        if _testcapi.unicode_kind(s) != kind:
            return f"storage width {_testcapi.unicode_kind(s)}, narrowest {kind}"
        if bool(_testcapi.unicode_is_compact_ascii(s)) != (top < 0x80):
            return "ASCII flag does not match the characters"
    return None


def appended(items):
    """A list grown from empty by appends, as the reader grows its lists."""
    grown = []
    for item in items:
        grown.append(item)
    return grown


def rows_problem(rows):
    """None when `rows` is an exact list of exact lists of canonical strings, each list
    sized as appends to an empty list leave it."""
    if type(rows) is not list:
        return f"result of type {type(rows).__name__}"
    if sys.getsizeof(rows) != sys.getsizeof(appended(rows)):
        return f"result list of {sys.getsizeof(rows)} bytes, {sys.getsizeof(appended(rows))} by appends"
    for r, row in enumerate(rows):
        if type(row) is not list:
            return f"row {r} of type {type(row).__name__}"
        if sys.getsizeof(row) != sys.getsizeof(appended(row)):
            return f"row {r}: {sys.getsizeof(row)} bytes, {sys.getsizeof(appended(row))} by appends"
        for k, item in enumerate(row):
            problem = canonical_problem(item)
            if problem:
                return f"row {r} item {k} {item!r}: {problem}"
    return None


def assert_syntax_error(exc, message):
    """`exc` is a plain SyntaxError carrying `message` (the very object) and nothing else."""
    assert type(exc) is SyntaxError, repr(exc)
    assert exc.args == (message,), f"args {exc.args!r}, expected {(message,)!r}"
    if type(message) is str:
        assert str(exc) == message
        assert canonical_problem(exc.args[0]) is None
    assert (exc.filename, exc.lineno, exc.offset, exc.text) == (None, None, None, None)
    assert exc.__cause__ is None
