"""vorl.stringify: canonical output, item texts, UTF-16 lengths, HEX at call time, walks."""
import builtins

import pytest

import vorl

ASTRAL = "\U0001F600"


def u16(s):
    return len(s.encode("utf-16-le", "surrogatepass")) // 2


def expected_item(s):
    digits = str(u16(s))
    return "0123456789abcdef"[len(digits) - 1] + digits + s


# ---- results ------------------------------------------------------------------------------

RESULTS = [
    ([], ""),
    ([[]], ";"),
    ([[], []], ";;"),
    ([["a"]], "01a;"),
    ([[""]], "00;"),
    ([["a", "bc"], ["d"]], "01a02bc;01d;"),
    ([["a;b", "0123456789"]], "03a;b1100123456789;"),
    ([["x" * 9]], "09" + "x" * 9 + ";"),
    ([["x" * 10]], "110" + "x" * 10 + ";"),
    ([["x" * 99]], "199" + "x" * 99 + ";"),
    ([["x" * 100]], "2100" + "x" * 100 + ";"),
    ([["x" * 1000]], "31000" + "x" * 1000 + ";"),
    ([[ASTRAL]], "02" + ASTRAL + ";"),
    ([["a" + ASTRAL + "b"]], "04a" + ASTRAL + "b;"),
    ([[ASTRAL * 5]], "110" + ASTRAL * 5 + ";"),
    ([["\ud800"]], "01\ud800;"),
    ([["\ud83d\ude00"]], "02\ud83d\ude00;"),
    ([["\xe9", "\u20ac", ASTRAL, ""]], "01\xe901\u20ac02" + ASTRAL + "00;"),
    ([["\u20ac" * 10], ["a"]], "110" + "\u20ac" * 10 + ";01a;"),
    ([[5]], "015;"),
    ([[None]], "04None;"),
    ([(1.5, True)], "031.504True;"),
    ([[10**20]], "121" + str(10**20) + ";"),
    ([[["a"]]], "05['a'];"),
    ([[b"x"]], "04b'x';"),
    (["ab"], "01a01b;"),
    ("ab", "01a;01b;"),
    ([{"k": 1}], "01k;"),
    ((("a",), ()), "01a;;"),
    ([iter(["a"]), ("b",)], "01a;01b;"),
]


@pytest.mark.parametrize("lists, expected", RESULTS)
def test_result(lists, expected):
    assert vorl.stringify(lists) == expected


SEQUENCES = [(v, e) for v, e in RESULTS if isinstance(v, (list, tuple))
             and all(isinstance(row, (list, tuple)) for row in v)]


@pytest.mark.parametrize("lists, expected", SEQUENCES)
def test_same_result_through_iterators(lists, expected):
    assert vorl.stringify(iter([iter(row) for row in lists])) == expected


# One step of four astral characters and tails of one to three, at every offset.
WIDE_ITEMS = [ASTRAL * n for n in range(1, 10)] + [
    "a" * k + ASTRAL + "b" * m for k in range(5) for m in range(5)
] + ["\U00010000\uffff\U0010ffff\ud800" * 3, "\u20ac" + ASTRAL * 7]


@pytest.mark.parametrize("item", WIDE_ITEMS, ids=range(len(WIDE_ITEMS)))
def test_utf16_length_of_wide_items(item):
    assert vorl.stringify([[item], [item, "z"]]) == (
        expected_item(item) + ";" + expected_item(item) + "01z;"
    )


class Sub(str):
    def __str__(self):
        raise AssertionError("a str subclass is written without calling __str__")


def test_str_subclass_written_as_its_value():
    assert vorl.stringify([[Sub("ab"), Sub(ASTRAL * 5)]]) == "02ab110" + ASTRAL * 5 + ";"


def test_str_subclass_returned_by_str():
    class Item:
        def __str__(self):
            return Sub("x" + ASTRAL)

    assert vorl.stringify([[Item()]]) == "03x" + ASTRAL + ";"


def test_reentrant_call_from_str():
    class Item:
        def __str__(self):
            return vorl.stringify([["in"]])

    assert vorl.stringify([[Item()]]) == "0502in;;"


# ---- failures -------------------------------------------------------------------------------

class Raises:
    def __str__(self):
        raise ValueError("no text")


class NotText:
    def __str__(self):
        return 5


FAILURES = [
    (None, TypeError, "not iterable"),
    (5, TypeError, "not iterable"),
    ([None], TypeError, "not iterable"),
    ([["a"], 2], TypeError, "not iterable"),
    ([["a", Raises()]], ValueError, "no text"),
    ([[NotText()]], TypeError, "must return a str"),
]


@pytest.mark.parametrize("lists, error, text", FAILURES)
def test_failure(lists, error, text):
    with pytest.raises(error, match=text):
        vorl.stringify(lists)


class Counted:
    calls = 0

    def __str__(self):
        Counted.calls += 1
        return "c"


def test_rows_before_a_failing_row_were_walked():
    Counted.calls = 0
    with pytest.raises(TypeError):
        vorl.stringify([[Counted()], 2, [Counted()]])
    assert Counted.calls == 1


class MyStop(StopIteration):
    pass


class Items:
    """An iterator that yields its values, then ends with `end`."""

    def __init__(self, values, end=MyStop):
        self.values = list(values)
        self.end = end

    def __iter__(self):
        return self

    def __next__(self):
        if self.values:
            return self.values.pop(0)
        raise self.end("done")


@pytest.mark.parametrize("lists, expected", [
    ([Items(["a", "b"])], "01a01b;"),
    (Items([["a"], Items(["b"])]), "01a;01b;"),
    (Items([], end=StopIteration), ""),
])
def test_iterator_ends_with_stop_iteration_subclass(lists, expected):
    assert vorl.stringify(lists) == expected


@pytest.mark.parametrize("lists", [[Items(["a"], end=KeyError)], Items([[]], end=KeyError)])
def test_iterator_failure_propagates(lists):
    with pytest.raises(KeyError):
        vorl.stringify(lists)


def test_generator_is_consumed():
    rows = (row for row in [["a"], (c for c in "bc")])
    assert vorl.stringify(rows) == "01a;01b01c;"
    assert vorl.stringify(rows) == ""


# ---- HEX at call time -----------------------------------------------------------------------

class HexStr(str):
    def __getitem__(self, index):
        return "<%d>" % index


class HexList(list):
    def __getitem__(self, index):
        return "[%d]" % index


TEN = "x" * 10
HEX_CASES = [
    ("ABCDEFGHIJKLMNOP", [["a"], [TEN]], "A1a;B10" + TEN + ";"),
    ("\u20ac" * 16, [["a"]], "\u20ac1a;"),
    (ASTRAL + "BCDEFGHIJKLMNOP", [["a", "\xe9"], [TEN]],
     ASTRAL + "1a" + ASTRAL + "1\xe9;B10" + TEN + ";"),
    (tuple("ABCDEFGHIJKLMNOP"), [["a"]], "A1a;"),
    ("Z", [["x" * 9]], "Z9" + "x" * 9 + ";"),
    ("Z", [[TEN]], IndexError),
    ("Z", [[ASTRAL * 5]], IndexError),  # 5 code points, 10 units
    ({0: "x"}, [["a", "bc"]], "x1ax2bc;"),
    ({0: "x"}, [[TEN]], KeyError),
    (HexStr("0123456789abcdef"), [["a"]], "<0>1a;"),
    (HexList("0123456789abcdef"), [[TEN]], "[1]10" + TEN + ";"),
    (None, [["a"]], TypeError),
    ([], [["a"]], IndexError),
]


@pytest.mark.parametrize("hex_value, lists, outcome", HEX_CASES)
def test_hex_rebound(module_globals, hex_value, lists, outcome):
    vorl.HEX = hex_value
    if isinstance(outcome, str):
        assert vorl.stringify(lists) == outcome
    else:
        with pytest.raises(outcome):
            vorl.stringify(lists)


def test_hex_of_ints_fails_in_the_join_after_the_walk(module_globals):
    vorl.HEX = list(range(16))
    Counted.calls = 0
    with pytest.raises(TypeError, match="expected str instance, int found"):
        vorl.stringify([[Counted()], [], [Counted(), Counted()], iter([Counted()])])
    assert Counted.calls == 4


@pytest.mark.parametrize("lists, expected", [([], ""), ([[]], ";"), ([[], ()], ";;")])
def test_hex_deleted_without_items(module_globals, lists, expected):
    del vorl.HEX
    assert vorl.stringify(lists) == expected


@pytest.mark.parametrize("lists", [[["a"]], [[], [5]]])
def test_hex_deleted_with_items(module_globals, lists):
    del vorl.HEX
    with pytest.raises(NameError, match="^name 'HEX' is not defined$"):
        vorl.stringify(lists)


def test_hex_found_in_builtins(module_globals):
    del vorl.HEX
    builtins.HEX = "ABCDEFGHIJKLMNOP"
    assert vorl.stringify([["a"]]) == "A1a;"
    vorl.HEX = "0123456789abcdef"  # the module's own binding comes first
    assert vorl.stringify([["a"]]) == "01a;"


def test_hex_rebound_by_an_items_str(module_globals):
    class Rebinds:
        def __str__(self):
            vorl.HEX = "ABCDEFGHIJKLMNOP"
            return "r"

    assert vorl.stringify([["a", Rebinds(), "b"], ["c"]]) == "01aA1rA1b;A1c;"


class Clash:
    """A key of the module's namespace whose hash equals that of 'HEX' and whose == fails."""

    def __init__(self, error):
        self.error = error

    def __hash__(self):
        return hash("HEX")

    def __eq__(self, other):
        raise self.error


class Interrupt(BaseException):
    pass


def test_hex_lookup_passes_over_an_ordinary_failure(module_globals):
    del vorl.HEX
    key = Clash(ValueError("compare"))
    vorl.__dict__[key] = 1
    try:
        with pytest.raises(NameError, match="'HEX'"):
            vorl.stringify([["a"]])
        builtins.HEX = "ABCDEFGHIJKLMNOP"
        assert vorl.stringify([["a"]]) == "A1a;"
    finally:
        del vorl.__dict__[key]


def test_hex_lookup_propagates_a_base_exception(module_globals):
    del vorl.HEX
    key = Clash(Interrupt())
    vorl.__dict__[key] = 1
    try:
        with pytest.raises(Interrupt):
            vorl.stringify([["a"]])
    finally:
        del vorl.__dict__[key]


# ---- input changing during the walk ---------------------------------------------------------

class Hook:
    """An item whose first conversion runs `action`."""

    def __init__(self, action, text="h"):
        self.action = action
        self.text = text

    def __str__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.text


def unique(text):
    return "".join(list(text))  # a new object, held only by its container


def test_item_appends_to_its_own_row():
    row = ["a"]
    row.append(Hook(lambda: row.append("z")))
    assert vorl.stringify([row, ["b"]]) == "01a01h01z;01b;"


def test_item_removes_later_items_of_its_row():
    row = []
    row += [Hook(lambda: row.pop()), "b", "c"]
    assert vorl.stringify([row]) == "01h01b;"


def test_item_appends_a_row():
    outer = []
    outer.append([Hook(lambda: outer.append(["n"]))])
    assert vorl.stringify(outer) == "01h;01n;"


def test_item_clears_the_outer_list():
    outer = []
    outer += [[Hook(lambda: outer.clear()), unique("bb")], [unique("cc")]]
    assert vorl.stringify(outer) == "01h02bb;"


def test_item_clears_its_own_row():
    row = []
    row += [unique("aa"), Hook(lambda: row.clear()), unique("bb")]
    assert vorl.stringify([row]) == "02aa01h;"


def test_tuple_row_does_not_change():
    outer = []
    outer.append((Hook(lambda: outer.append(("n",))), "t"))
    assert vorl.stringify(outer) == "01h01t;01n;"


class OwnIter(list):
    def __iter__(self):
        return iter(["own"])


class OwnIterTuple(tuple):
    def __iter__(self):
        return iter(["own"])


@pytest.mark.parametrize("lists, expected", [
    ([OwnIter(["a"])], "03own;"),
    ([OwnIterTuple(["a"])], "03own;"),
    (OwnIter([["a"]]), "01o01w01n;"),
    ([list(["a"])], "01a;"),
    ([type("Plain", (list,), {})(["a", "b"])], "01a01b;"),
])
def test_subclass_rows_walk_through_iter(lists, expected):
    assert vorl.stringify(lists) == expected
