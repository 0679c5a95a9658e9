"""Any rows of any strings survive stringify() then parse(), in canonical str form."""
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vorl
from reference_codec import canonical_problem, decode, encode, rows_problem

# Characters the format gives a meaning to, and the ones that test its counting: every
# storage width, lone and paired-looking surrogates, astral characters.
SPECIAL = (";019afF\x00\x7f\x80é\xffĀ\uffff\ud800\udbff\udc00\ud83d\ude00"
           "\U00010000\U0001f600\U0010ffff")

ALPHABETS = [
    st.characters(max_codepoint=0x7F, include_characters=";0123456789abcdefABCDEF"),
    st.characters(max_codepoint=0xFF, include_characters=";09aF"),
    st.characters(max_codepoint=0xFFFF, exclude_categories=(), include_characters=";09\ud800\udc00"),
    st.characters(exclude_categories=(), include_characters=SPECIAL),
    st.sampled_from(SPECIAL),
]

# Mostly short items; now and then one long enough for a two- or three-digit length.
items = st.one_of(
    *[st.text(alphabet, max_size=12) for alphabet in ALPHABETS],
    st.text(ALPHABETS[3], min_size=95, max_size=105),
)
rows_strategy = st.lists(st.lists(items, max_size=6), min_size=1, max_size=6)

SETTINGS = settings(max_examples=600, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def check_read_back(rows, text):
    assert canonical_problem(text, shared=False) is None
    result = vorl.parse(text)
    assert rows_problem(result) is None, rows_problem(result)
    assert result == rows


@SETTINGS
@given(rows_strategy)
def test_parse_reads_back_what_stringify_writes(rows):
    text = vorl.stringify(rows)
    assert text == encode(rows)
    check_read_back(rows, text)
    assert decode(text) == rows


@SETTINGS
@given(rows_strategy, rows_strategy)
def test_concatenated_texts_read_as_concatenated_rows(first, second):
    check_read_back(first + second, vorl.stringify(first) + vorl.stringify(second))


@settings(max_examples=300, deadline=None, database=None)
@given(st.lists(st.lists(st.just(""), max_size=3), min_size=1, max_size=8))
def test_empty_items_and_rows(rows):
    check_read_back(rows, vorl.stringify(rows))


def test_no_rows_do_not_survive_but_one_empty_row_does():
    assert vorl.stringify([]) == ""
    with pytest.raises(SyntaxError) as info:
        vorl.parse("")
    assert info.value.args == (vorl.ErrUnexpectedEndOfInput,)
    check_read_back([[]], vorl.stringify([[]]))
