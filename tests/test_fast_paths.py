"""The fast paths give exactly what the general paths give, on both sides of every boundary.

Each case is observed in this process and in a child forced onto the general paths
(VORL_FORCE_GENERIC=1): the value or the exception, the storage width of every string made
(through sys.getsizeof), the size of every row list, and whether one-character strings are
the interpreter's shared ones. Both must agree, and stringify must also agree with a plain
Python writer.
"""
import json
import os
import pathlib
import subprocess
import sys

import pytest

import vorl

ASTRAL = "\U0001F600"


def reference_stringify(rows):
    out = []
    for row in rows:
        for item in row:
            text = item if isinstance(item, str) else str(item)
            n = str(len(text) + sum(ord(c) > 0xFFFF for c in text))
            out += ["0123456789abcdef"[len(n) - 1], n, text]
        out.append(";")
    return "".join(out)


class Sub(str):
    def __str__(self):
        return "never used"


class RowList(list):
    def __iter__(self):
        return iter(["from", "iter"])


class Appender:
    """An item whose conversion appends one more item to its own row."""

    calls = 0

    def __init__(self, row):
        self.row = row

    def __str__(self):
        Appender.calls += 1
        self.row.append("added")
        return "appender"


def big(n, last):
    rows = [["ab", "c" * 12] for _ in range(n)]
    rows[-1].append(last)
    return rows


def mutating():
    rows = big(50, "x")
    rows[-1].append(Appender(rows[-1]))
    return rows


# name -> (lists, HEX to bind or None)
STRINGIFY = {
    "exact": (big(1000, "z"), None),
    "non-str item last": (big(1000, 7), None),
    "subclass item last": (big(1000, Sub("sub")), None),
    "list subclass row last": (big(1000, "z")[:-1] + [RowList(["not", "used"])], None),
    "tuple outer and rows": (tuple(tuple(r) for r in big(300, "t")), None),
    "generator row last": (big(100, "z")[:-1] + [(c for c in "gen")], None),
    "item that mutates its row": (mutating(), None),
    "width rises at the last item: latin1": (big(500, "é"), None),
    "width rises at the last item: ucs2": (big(500, "é") + [["Ā"]], None),
    "width rises at the last item: ucs4": (big(500, "Ā") + [["a" + ASTRAL * 5]], None),
    "astral lengths around 4": ([[ASTRAL * k for k in range(10)], ["a" + ASTRAL * 4 + "b"]], None),
    "one astral at every offset of every length to 13": (
        [["a" * j + ASTRAL + "b" * (n - j - 1) for j in range(n)] for n in range(1, 14)], None),
    "astral runs in a long item": ([["\uffff" * 7 + (ASTRAL + "a" * 3) * 41 + ASTRAL * 6]], None),
    "empty rows and items": ([[], [""], ["", ""], []], None),
    "long items": ([["x" * 10**k for k in range(6)]], None),
    "HEX a list of strs": (big(10, "z"), list("0123456789abcdef")),
    "HEX a list of ints": (big(10, "z"), list(range(16))),
    "HEX one char, short items": ([["a" * 9]], "Q"),
    "HEX one char, a 10-unit item": ([["a" * 9, "b" * 10]], "Q"),
    "HEX empty": ([["a"]], ""),
    "HEX an empty str, no items": ([[], []], ""),
    "HEX upper case": (big(10, "z"), "ABCDEFGHIJKLMNOP"),
    "HEX wide at an unused index": (big(10, "z"), "0123456789abcde" + ASTRAL),
    "HEX latin1 at a used index": (big(10, "z"), "é123456789abcdef"),
    "HEX wide at a used index": (big(10, "z"), ASTRAL + "123456789abcdef"),
    "HEX a str subclass": (big(10, "z"), Sub("0123456789abcdef")),
}

# Texts exercising each payload cut and row size.
PARSE = {
    "ascii rows of 0 to 70 items": reference_stringify([["a"] * k for k in range(71)]),
    "ascii row of 1000 items": reference_stringify([["ab"] * 1000]),
    "latin1 text, ascii and latin1 payloads": reference_stringify([["ab", "é!", "é", "a", ""], ["xyz"]]),
    "ucs2 text, payloads of three widths": reference_stringify([["ab", "éa", "Āb", "Ā", "é", "a"], []]),
    "ucs4 text, payloads of four widths": reference_stringify([["ab", "éa", "Āb", ASTRAL, ASTRAL + "x", "é", "Ā"]]),
    "ucs4 text, long payloads": reference_stringify([["a" * 30 + ASTRAL * 5, "ÿ" * 17 + ASTRAL * 3, "Ā" * 40]]),
    "ucs4 text, astral at every offset": reference_stringify(
        [["a" * k + ASTRAL + "a" * (12 - k) for k in range(13)], [ASTRAL * k for k in range(12)]]),
    "one length character, a non-digit after it": "05hello01;00;",
    "two length characters": "110" + "0123456789" + "1000;",
    "bad first of two length characters": "01a1x1" + "a" * 11 + ";",
    "bad second of two length characters": "01a11x" + "a" * 11 + ";",
    "bad length character after a good one": "01a0x;",
    "three length characters": "2100" + "b" * 100 + "2000;",
    "error after many items": "01a" * 100 + "x;",
    "error in the second row": "01a" * 70 + ";" + "01b" * 70 + "0x;",
    "straddle after a block": f"09{'a' * 8}{ASTRAL};",
    "straddle after a block holding one": f"09aaa{ASTRAL}aaa{ASTRAL};",
    "end of text inside a payload": f"09{'a' * 4}{ASTRAL}",
    "end of text right after a payload": f"02{ASTRAL}08{'a' * 8}",
}


def describe_str(s):
    return [s, sys.getsizeof(s)]


def describe_parsed(rows):
    return [[sys.getsizeof(row),
             [[item, sys.getsizeof(item), len(item) == 1 and ord(item) < 256 and item is chr(ord(item))]
              for item in row]] for row in rows]


def observe(func, arg, describe):
    try:
        return ["ok", describe(func(arg))]
    except Exception as exc:  # the exception is part of what is compared
        return ["raised", type(exc).__name__, str(exc)]


def observe_stringify(name):
    lists, hex_value = STRINGIFY[name]
    saved = vorl.HEX
    if hex_value is not None:
        vorl.HEX = hex_value
    try:
        if name == "item that mutates its row":
            lists = mutating()  # fresh: the walk changes it
            Appender.calls = 0
            return [observe(vorl.stringify, lists, describe_str), Appender.calls]
        return observe(vorl.stringify, lists, describe_str)
    finally:
        vorl.HEX = saved


def observe_all():
    saved = dict(vorl.__dict__)
    out = {"stringify": {name: observe_stringify(name) for name in STRINGIFY},
           "parse": {name: observe(vorl.parse, text, describe_parsed) for name, text in PARSE.items()}}
    # A module dictionary with a key that is not a str.
    vorl.__dict__[1] = "one"
    try:
        out["non-str key in the module dict"] = observe(vorl.stringify, big(10, "z"), describe_str)
    finally:
        del vorl.__dict__[1]
    assert vorl.__dict__ == saved
    return out


@pytest.fixture(scope="module")
def generic():
    env = dict(os.environ, VORL_FORCE_GENERIC="1")
    code = ("import importlib.util, json, sys\n"
            "spec = importlib.util.spec_from_file_location('fast_paths', sys.argv[1])\n"
            "mod = importlib.util.module_from_spec(spec); spec.loader.exec_module(mod)\n"
            "print(json.dumps(mod.observe_all()))\n")
    proc = subprocess.run([sys.executable, "-c", code, str(pathlib.Path(__file__))],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def here():
    return json.loads(json.dumps(observe_all()))


@pytest.mark.parametrize("name", list(STRINGIFY))
def test_stringify_matches_general_path(name, here, generic):
    assert here["stringify"][name] == generic["stringify"][name]


@pytest.mark.parametrize("name", list(PARSE))
def test_parse_matches_general_path(name, here, generic):
    assert here["parse"][name] == generic["parse"][name]


def test_non_str_module_key_matches_general_path(here, generic):
    assert here["non-str key in the module dict"] == generic["non-str key in the module dict"]
    assert here["non-str key in the module dict"][1][0] == reference_stringify(big(10, "z"))


@pytest.mark.parametrize("name", [n for n, (_, hex_value) in STRINGIFY.items()
                                  if hex_value is None and n != "item that mutates its row"
                                  and n != "list subclass row last" and n != "generator row last"])
def test_stringify_matches_reference(name, here):
    lists, _ = STRINGIFY[name]
    assert here["stringify"][name] == ["ok", describe_str(reference_stringify(lists))]


def test_mutating_item_converted_once_and_its_addition_written(here):
    (status, (text, _)), calls = here["stringify"]["item that mutates its row"]
    assert status == "ok" and calls == 1
    assert text.endswith("08appender05added;")


@pytest.mark.parametrize("expected", [
    ("HEX one char, short items", ["ok", describe_str("Q9aaaaaaaaa;")]),
    ("HEX one char, a 10-unit item", ["raised", "IndexError", "string index out of range"]),
    ("HEX a list of ints", ["raised", "TypeError", "sequence item 0: expected str instance, int found"]),
    ("HEX an empty str, no items", ["ok", describe_str(";;")]),
    ("HEX wide at an unused index", ["ok", describe_str(reference_stringify(big(10, "z")))]),
], ids=lambda e: e[0])
def test_rebound_hex_outcomes(expected, here):
    name, outcome = expected
    assert here["stringify"][name] == outcome


def test_row_sizes_equal_rows_built_by_append(here):
    rows = here["parse"]["ascii rows of 0 to 70 items"][1]
    for k, (size, items) in enumerate(rows):
        built = []
        for _ in range(k):
            built.append("a")
        assert size == sys.getsizeof(built)
        assert len(items) == k
