"""parse() against the plain-Python reader on valid, cut, edited and random texts.

Both must give the same rows, or the same exception type with the same arguments.
"""
import random

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import test_parser_narrow
import test_parser_wide
import vorl
from reference_codec import decode, encode, outcome, rows_problem

E = "\U0001f600"
# The format's own alphabet, its near misses, and characters of every storage width.
FORMAT_CHARS = ";0123456789abcdefABCDEF"
OTHER_CHARS = "gG/:@` x\x00\x7f\x80é\xffĀ\u0130\uff41\ud800\udbff\udc00\udfff" + E + "\U00010000\U00010041\U0010ffff"
ALPHABET = FORMAT_CHARS * 3 + OTHER_CHARS
ITEM_CHARS = [
    "abz;09",                       # ASCII, with the format's own characters
    "aé\xff;0",                     # 1 byte per character
    "aĀ\u20ac\ud800\udc00;",        # 2 bytes, lone surrogates
    "a" + E + "\U00010000\U0010ffff\ud83d\ude00;",  # 4 bytes
]


def check_same(text):
    """None, or a line saying how parse() and the reference part ways on `text`."""
    got, want = outcome(vorl.parse, text), outcome(decode, text)
    if got != want:
        return f"{text!r}: module {got!r}, reference {want!r}"
    if got[0] == "ok" and rows_problem(got[1]):
        return f"{text!r}: {rows_problem(got[1])}"
    return None


def assert_all_same(texts):
    texts = list(texts)
    assert texts
    problems = [p for p in map(check_same, texts) if p]
    assert not problems, f"{len(problems)} of {len(texts)} differ, e.g.\n" + "\n".join(problems[:8])


def random_rows(rng):
    rows = []
    for _ in range(rng.randint(1, 4)):
        row = []
        for _ in range(rng.choice([0, 1, 2, 3])):
            chars = rng.choice(ITEM_CHARS)
            size = rng.choice([0, 1, 2, 3, 5, 9, 10, 12, 100])
            row.append("".join(rng.choice(chars) for _ in range(size)))
        rows.append(row)
    return rows


def padded_encode(rng, rows):
    """Like the writer, but each length field has a random number of leading zeros and an H
    digit of random case to match: texts the reader accepts and the writer never makes."""
    parts = []
    for row in rows:
        for item in row:
            field = encode([[item]])[:-1]
            digits = field[1:int(field[0], 16) + 2]
            h = rng.randrange(len(digits) - 1, 16)
            parts.append(rng.choice([str.lower, str.upper])("%x" % h) + digits.zfill(h + 1) + field[len(digits) + 1:])
        parts.append(";")
    return "".join(parts)


def base_texts(seed, count):
    """Valid texts, half of them canonical."""
    rng = random.Random(seed)
    return [(encode if k % 2 else lambda rows: padded_encode(rng, rows))(random_rows(rng)) for k in range(count)]


# Edits of a text, each one small: the kinds of damage a reader must reject exactly.
def insert_char(rng, text):
    k = rng.randint(0, len(text))
    return text[:k] + rng.choice(ALPHABET) + text[k:]


def delete_char(rng, text):
    k = rng.randrange(len(text))
    return text[:k] + text[k + 1:]


def replace_char(rng, text):
    k = rng.randrange(len(text))
    return text[:k] + rng.choice(ALPHABET) + text[k + 1:]


def flip_case(rng, text):
    letters = [k for k, c in enumerate(text) if c in "abcdefABCDEF"]
    if not letters:
        return text.upper()
    k = rng.choice(letters)
    return text[:k] + text[k].swapcase() + text[k + 1:]


def insert_astral(rng, text):
    k = rng.randint(0, len(text))
    return text[:k] + rng.choice([E, "\U00010000", "\U0010ffff"]) + text[k:]


def nudge_digit(rng, text):
    digits = [k for k, c in enumerate(text) if c.isascii() and c.isdigit()]
    if not digits:
        return insert_char(rng, text)
    k = rng.choice(digits)
    return text[:k] + str((int(text[k]) + rng.choice([1, 9])) % 10) + text[k + 1:]


def widen_field(rng, text):
    # An H digit one higher with a leading zero added keeps the item valid.
    heads = [k for k, c in enumerate(text) if c in "012345678"]
    if not heads:
        return text
    k = rng.choice(heads)
    return text[:k] + str(int(text[k]) + 1) + "0" + text[k + 1:]


EDITS = [insert_char, delete_char, replace_char, flip_case, insert_astral, nudge_digit, widen_field]


def test_hand_written_cases_agree_with_the_reference():
    narrow, wide = test_parser_narrow, test_parser_wide
    texts = [t for t, _ in narrow.RESULTS + wide.RESULTS]
    texts += [t for t, _, _ in narrow.TOKENS + wide.TOKENS]
    texts += narrow.END_OF_INPUT_TEXTS + wide.END_OF_INPUT_TEXTS
    assert_all_same(texts)
    for text, rows in narrow.RESULTS + wide.RESULTS:
        assert decode(text) == rows


def test_every_truncation():
    texts = base_texts(1, 40) + [t for t, _ in test_parser_wide.RESULTS[:12]]
    assert_all_same(text[:k] for text in texts for k in range(len(text) + 1))


@pytest.mark.parametrize("edit", EDITS, ids=lambda f: f.__name__)
def test_single_edits(edit):
    rng = random.Random(edit.__name__)
    texts = base_texts(edit.__name__, 400)
    assert_all_same(edit(rng, text) for text in texts)


def test_several_edits():
    rng = random.Random(7)
    texts = []
    for text in base_texts(8, 1000):
        for _ in range(rng.randint(2, 4)):
            text = rng.choice(EDITS)(rng, text) or ";"
        texts.append(text)
    assert_all_same(texts)


def test_random_texts():
    rng = random.Random(9)
    assert_all_same("".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 14))) for _ in range(2000))


SETTINGS = settings(max_examples=500, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(st.text(st.sampled_from(ALPHABET), max_size=24))
def test_any_text_of_the_alphabet(text):
    assert check_same(text) is None


@SETTINGS
@given(st.integers(0, 2**32), st.lists(st.sampled_from(EDITS), min_size=1, max_size=3),
       st.integers(0, 2**32))
def test_edited_valid_texts(rows_seed, edits, edit_seed):
    text = base_texts(rows_seed, 2)[rows_seed % 2]
    rng = random.Random(edit_seed)
    for edit in edits:
        text = edit(rng, text) or ";"
    assert check_same(text) is None
