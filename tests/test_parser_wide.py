"""parse() on texts stored 4 bytes per character: lengths and positions in UTF-16 units."""
import pytest

import vorl
from reference_codec import END_OF_INPUT, assert_syntax_error, rows_problem

E = "\U0001f600"  # two UTF-16 units; low surrogate U+DE00
HEX = "0123456789abcdef"

H_DIGIT_TABLE = [
    (h + "2".rjust(i + 1, "0") + E + ";", [[E]])
    for i, c in enumerate(HEX)
    for h in {c, c.upper()}
]

RESULTS = [
    ("02" + E + ";", [[E]]),
    ("02" + E + ";;", [[E], []]),
    ("02" + E + "00;", [[E, ""]]),
    ("02" + E + "02ab;", [[E, "ab"]]),
    ("0000;02" + E + ";", [["", ""], [E]]),
    ("A00000000002" + E + ";", [[E]]),
    ("f0000000000000002" + E + ";", [[E]]),
    ("04" + E + E + ";", [[E + E]]),
    ("01\ud800;02" + E + ";", [["\ud800"], [E]]),
    ("02\ud83d\ude00;02" + E + ";", [["\ud83d\ude00"], [E]]),
    ("05" + E + ";;0;", [[E + ";;0"]]),
    ("120" + E * 10 + ";", [[E * 10]]),
    ("03a" + E + ";", [["a" + E]]),
    # every storage width among the items of one text
    ("02ab01é01Ā02" + E + "00;", [["ab", "é", "Ā", E, ""]]),
    ("01a01\xff;02é€;;02" + E + ";", [["a", "\xff"], ["é€"], [], [E]]),
    ("02\U00010000;02\U0010ffff;03" + E + "z;", [["\U00010000"], ["\U0010ffff"], [E + "z"]]),
    (";;02" + E + ";", [[], [], [E]]),
] + H_DIGIT_TABLE

# (text, offending character, UTF-16 position)
TOKENS = [
    ("01" + E + ";", "\ude00", 3),
    ("01" + E, "\ude00", 3),
    ("01" + E + "0", "\ude00", 3),
    ("02a" + E + ";", "\ude00", 4),
    ("03" + E + E + ";", "\ude00", 5),
    ("03" + E + E, "\ude00", 5),
    ("02" + E + "0x;", "x", 5),
    ("02" + E + "g;", "g", 4),
    ("02" + E + "a0000000000;", ";", 15),
    ("02" + E + "A000000000x0;", "x", 14),
    ("04" + E + E + "g;", "g", 6),
    ("04" + E + E + "01" + E + ";", "\ude00", 9),
    (E + ";", E, 0),
    (";" + E, E, 1),
    ("1" + E + "0;", E, 1),
    ("0" + E, E, 1),
    ("02" + E + "0x", "x", 5),
    ("02" + E + "1x;", "x", 5),
    ("f" + "0" * 16 + E, E, 17),
    ("x" + E, "x", 0),
    ("0000;x02" + E + ";", "x", 5),
    ("02" + E + ";02" + E + ";x", "x", 10),
    ("05hello;02" + E + ";g", "g", 13),
    # the low surrogate is computed for each astral character
    ("01\U00010000;", "\udc00", 3),
    ("01\U000103ff;", "\udfff", 3),
    ("01\U00010400;", "\udc00", 3),
    ("01\U0010ffff;", "\udfff", 3),
    ("01\U00020bb7;", "\udfb7", 3),
    ("02é\U00020bb7;", "\udfb7", 4),
    # astral code points whose low bits spell a hex letter or digit are no H or length digit
    ("\U00010041" + "0;", "\U00010041", 0),
    ("\U00010066" + "0;", "\U00010066", 0),
    ("\U00010035" + "0;", "\U00010035", 0),
    ("0\U00010030;;", "\U00010030", 1),
    ("0\u0130;" + E, "\u0130", 1),
    ("\ud800" + E, "\ud800", 0),
    ("01\ud800\ud800;" + E, "\ud800", 3),
    ("00;00" + E, E, 5),
]

# On this path the length field may end the text and is still read; so only a field that
# runs past the end, a payload cut short and a missing follower end the input.
END_OF_INPUT_TEXTS = [
    "02" + E + "1x",
    "02" + E + "05",
    "02" + E + "00",
    "02" + E,
    "02" + E + "0",
    "03" + E,
    "03" + E + "a",
    "05" + E + E + ";",
    "1" + E,
    "02" + E + "f" + "9" * 16 + ";",
    "02" + E + "f" + "9" * 16,
    "02" + E + "f" + "0" * 16,
    "02" + E + "F" + "0" * 15 + "3;",
    "02" + E + "9" + "9" * 10 + ";",
    "02" + E + "a" + "0" * 10,
    "03" + E + "0",
]


def test_inputs_are_wide():
    for text in [t for t, _ in RESULTS] + [t for t, _, _ in TOKENS] + END_OF_INPUT_TEXTS:
        assert max(map(ord, text)) > 0xFFFF, text


@pytest.mark.parametrize("text, expected", RESULTS)
def test_result(text, expected):
    rows = vorl.parse(text)
    assert rows == expected
    assert rows_problem(rows) is None


@pytest.mark.parametrize("text, ch, position", TOKENS)
def test_unexpected_token(text, ch, position):
    with pytest.raises(SyntaxError) as info:
        vorl.parse(text)
    assert_syntax_error(info.value, f"Unexpected token '{ch}' at position {position}")


@pytest.mark.parametrize("text", END_OF_INPUT_TEXTS)
def test_end_of_input(text):
    with pytest.raises(SyntaxError) as info:
        vorl.parse(text)
    assert_syntax_error(info.value, END_OF_INPUT)
    assert info.value.args[0] is vorl.ErrUnexpectedEndOfInput


@pytest.mark.parametrize("count", [3, 40, 4000])
def test_positions_count_two_units_per_astral_character(count):
    # count items of one astral character each, then a bad H digit
    text = ("02" + E) * count + "x;"
    with pytest.raises(SyntaxError) as info:
        vorl.parse(text)
    assert_syntax_error(info.value, f"Unexpected token 'x' at position {4 * count}")
    rows = vorl.parse(text[:-2] + ";")
    assert rows == [[E] * count]
    assert rows_problem(rows) is None


def test_straddle_far_into_the_text():
    text = "1" + "99" + "a" * 98 + E + E * 500 + ";"
    with pytest.raises(SyntaxError) as info:
        vorl.parse(text)
    assert_syntax_error(info.value, "Unexpected token '\ude00' at position 102")
