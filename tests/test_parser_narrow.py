"""parse() on texts stored 1 or 2 bytes per character: code-point index = UTF-16 position."""
import pytest

import vorl
from reference_codec import END_OF_INPUT, assert_syntax_error, encode, rows_problem

HEX = "0123456789abcdef"


def width(text):
    top = max(map(ord, text), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


# Every H digit in both cases, with a length field of exactly H_digits characters.
H_DIGIT_TABLE = [
    (h + "3".rjust(i + 1, "0") + "xyz;", [["xyz"]])
    for i, c in enumerate(HEX)
    for h in {c, c.upper()}
]

RESULTS = [
    (";", [[]]),
    (";;", [[], []]),
    (";00;", [[], [""]]),
    ("00;", [[""]]),
    ("00;;", [[""], []]),
    ("05hello00;;", [["hello", ""], []]),
    ("02ab;;03xyz;", [["ab"], [], ["xyz"]]),
    ("03;;;;", [[";;;"]]),
    ("03a;b1100123456789;", [["a;b", "0123456789"]]),
    ("1010;", [["0"]]),
    ("2003abc;", [["abc"]]),
    ("A" + "0" * 11 + ";", [[""]]),
    ("a" + "0" * 11 + ";", [[""]]),
    ("F" + "0" * 16 + ";", [[""]]),
    ("f" + "0" * 15 + "1z;", [["z"]]),
    ("03\x00\n\t;", [["\x00\n\t"]]),
    ("01;;01;;", [[";"], [";"]]),
    ("110" + "1" * 10 + ";", [["1" * 10]]),
    ("01a01b01c;;;", [["a", "b", "c"], [], []]),
    # width 1, characters U+0080 to U+00FF: read zero-extended, kept in 1-byte storage
    ("02éÿ;", [["éÿ"]]),
    ("01\x80;01\xff;", [["\x80"], ["\xff"]]),
    ("02ab01é00;", [["ab", "é", ""]]),
    ("03aé;02zz;", [["aé;", "zz"]]),
    # width 2: a lone surrogate is one character and one unit
    ("01Ā;", [["Ā"]]),
    ("01\ud800;", [["\ud800"]]),
    ("01\udfff;", [["\udfff"]]),
    ("02\ud83d\ude00;", [["\ud83d\ude00"]]),
    ("02ab01Ā02éa00;", [["ab", "Ā", "éa", ""]]),
    ("01é01a;01€;", [["é", "a"], ["€"]]),
] + H_DIGIT_TABLE

# (text, offending character, position)
TOKENS = [
    ("x", "x", 0),
    (" ;", " ", 0),
    ("G;", "G", 0),
    ("05hello;x", "x", 8),
    ("01a;x", "x", 4),
    ("0x;", "x", 1),
    ("0;;", ";", 1),
    ("00;0x;", "x", 4),
    ("3000x00000;", "x", 4),
    ("f" + "0" * 15 + "x;;", "x", 16),
    ("0/;;", "/", 1),
    ("0:;;", ":", 1),
    ("1 1;x;", " ", 1),
    ("'00;", "'", 0),
    ("\n;", "\n", 0),
    ("\x00;", "\x00", 0),
    # the neighbours of the H-digit ranges
    ("/0;", "/", 0),
    (":0;", ":", 0),
    ("@0;", "@", 0),
    ("G0;", "G", 0),
    ("`0;", "`", 0),
    ("g0;", "g", 0),
    # width 1: U+0080 to U+00FF are characters, not negative bytes
    ("é;", "é", 0),
    ("00ÿ", "ÿ", 2),
    ("\xc1;", "\xc1", 0),
    ("\xe6;", "\xe6", 0),
    ("0\xb0;;", "\xb0", 1),
    # width 2: code units whose low byte is a hex letter or digit are still no H digit
    ("\u0141" + "0;", "\u0141", 0),
    ("\u0166" + "0;", "\u0166", 0),
    ("\uff41" + "0;", "\uff41", 0),
    ("\u0130" + "00;;", "\u0130", 0),
    ("0\u0130;;", "\u0130", 1),
    ("0\u0663;;", "\u0663", 1),
    ("0\uff10;;", "\uff10", 1),
    ("\ud800;", "\ud800", 0),
    ("00;\udc00", "\udc00", 3),
    ("01Ā;\ud83d\ude00;", "\ud83d", 4),
]

# Texts that end where more is needed. On this path the length field plus one more
# character must fit before the field is examined, so a bad last field character is not seen.
END_OF_INPUT_TEXTS = [
    "",
    "0",
    "00",
    "05",
    "01a",
    "01ab",
    "00;0",
    "0;",
    "0x",
    "02ab0x",
    "01é0x",
    "01Ā0x",
    "0é",
    "0Ā",
    "0\ud800",
    "5abcde",
    "5abcde;",
    "a" + "0" * 10 + ";",
    "f" + "0" * 16,
    "f" + "0" * 15 + "1;",
    "f" + "9" * 16 + ";",
    "F" + "9" * 16 + ";",
    "9" + "9" * 10 + ";" * 20,
    "05hello",
    "05hell;",
    "04abc;",
    "00;;0",
    "01é",
    "01\ud800",
]


@pytest.mark.parametrize("text, expected", RESULTS)
def test_result(text, expected):
    assert width(text) in (1, 2)
    rows = vorl.parse(text)
    assert rows == expected
    assert rows_problem(rows) is None


def test_result_is_new_every_call():
    first, second = vorl.parse("01a;;"), vorl.parse("01a;;")
    assert first is not second and first[0] is not second[0] and first[1] is not second[1]


@pytest.mark.parametrize("text, ch, position", TOKENS)
def test_unexpected_token(text, ch, position):
    assert width(text) in (1, 2)
    with pytest.raises(SyntaxError) as info:
        vorl.parse(text)
    assert_syntax_error(info.value, f"Unexpected token '{ch}' at position {position}")


@pytest.mark.parametrize("text", END_OF_INPUT_TEXTS)
def test_end_of_input(text):
    assert width(text) in (1, 2)
    with pytest.raises(SyntaxError) as info:
        vorl.parse(text)
    assert_syntax_error(info.value, END_OF_INPUT)
    assert info.value.args[0] is vorl.ErrUnexpectedEndOfInput


@pytest.mark.parametrize("prefix", ["", "é", "Ā"])
@pytest.mark.parametrize("count", [5, 50, 500, 5000, 61728])
def test_position_digits(prefix, count):
    # Each "00" is one empty item, so the bad character stands at 2 * count + len(prefix) units.
    text = ("01" + prefix + ";" if prefix else "") + "00" * count + "x;"
    offset = len(prefix) + 3 if prefix else 0
    with pytest.raises(SyntaxError) as info:
        vorl.parse(text)
    assert_syntax_error(info.value, f"Unexpected token 'x' at position {offset + 2 * count}")


@pytest.mark.parametrize("item", ["a", "\x7f", "é", "\xff", "\u0100", "\uffff", "\ud800"])
def test_one_character_items(item):
    rows = vorl.parse("01" + item + "01" + item + ";")
    assert rows == [[item, item]]
    assert rows_problem(rows) is None


def test_many_rows_and_items():
    items = ["", "a", "ab", "é", "éa", "Ā", "Āé", "z" * 300, "é" * 300]
    expected = [items[k:] for k in range(len(items) + 1)]
    rows = vorl.parse(encode(expected))
    assert rows == expected
    assert rows_problem(rows) is None


@pytest.mark.parametrize("count", [1, 2, 3, 4, 5, 8, 9, 16, 17, 25, 63, 64, 65, 66, 100, 129, 1000, 4097])
def test_list_sizes_match_lists_grown_by_appends(count):
    for text, expected in [("01a" * count + ";", [["a"] * count]),
                           (";" * count, [[] for _ in range(count)]),
                           (("00" * count + ";") * 3, [[""] * count] * 3)]:
        rows = vorl.parse(text)
        assert rows == expected
        assert rows_problem(rows) is None
