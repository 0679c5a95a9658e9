"""Argument binding of stringify and parse, and parse's exact-str check."""
import sys

import pytest

import vorl

stringify, parse = vorl.stringify, vorl.parse


def takes(name, given):
    return f"{name}() takes exactly 1 positional argument ({given} given)"


BINDING_ERRORS = [
    (parse, (), {}, takes("parse", 0)),
    (stringify, (), {}, takes("stringify", 0)),
    (stringify, ([], []), {}, takes("stringify", 2)),
    (parse, ("a", "b", "c"), {}, takes("parse", 3)),
    # The positional count is tested before any keyword is looked at.
    (parse, ("01a;", "b"), {"vorl": "c"}, takes("parse", 2)),
    (stringify, ([], []), {"x": 1}, takes("stringify", 2)),
    (parse, (), {"x": 1}, "parse() got an unexpected keyword argument 'x'"),
    (parse, (), {"vorl": "01a;", "x": 1}, "parse() got an unexpected keyword argument 'x'"),
    (parse, (), {"x": 1, "vorl": "01a;"}, "parse() got an unexpected keyword argument 'x'"),
    (parse, ("01a;",), {"x": 1}, "parse() got an unexpected keyword argument 'x'"),
    (stringify, (), {"list": []}, "stringify() got an unexpected keyword argument 'list'"),
    (stringify, (), {"listS": []}, "stringify() got an unexpected keyword argument 'listS'"),
    (parse, (), {"Vorl": "01a;"}, "parse() got an unexpected keyword argument 'Vorl'"),
    (parse, (), {"vor": "01a;"}, "parse() got an unexpected keyword argument 'vor'"),
    (parse, (), {"v\xf6rl": "01a;"}, "parse() got an unexpected keyword argument 'v\xf6rl'"),
    (parse, (), {"vorl\u20ac": "01a;"}, "parse() got an unexpected keyword argument 'vorl\u20ac'"),
    (stringify, ([["a"]],), {"lists": []},
     "stringify() got multiple values for keyword argument 'lists'"),
    (parse, ("01a;",), {"vorl": "01a;"}, "parse() got multiple values for keyword argument 'vorl'"),
    (parse, (), {"vorl": "01a;", "vorl\x00": 1},
     "parse() got an unexpected keyword argument 'vorl\x00'"),
]


@pytest.mark.parametrize("func, args, kwargs, message", BINDING_ERRORS)
def test_binding_error(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("func, name, value", [
    (parse, "vorl", "01a02bc;;"),
    (parse, "vorl", ""),
    (parse, "vorl", None),
    (stringify, "lists", [["a", "bc"], []]),
    (stringify, "lists", None),
])
def test_keyword_binding_equals_positional(func, name, value):
    def outcome(call):
        try:
            return "ok", call()
        except Exception as error:
            return type(error), str(error)

    by_position = outcome(lambda: func(value))
    assert outcome(lambda: func(**{name: value})) == by_position
    # A name built at run time is a different, non-interned object with the same text.
    built = "".join(list(name))
    assert built is not name and sys.intern(built) is not built
    assert outcome(lambda: func(**{built: value})) == by_position


# ---- keyword-name tuples only extension code can build --------------------------------------

class Name(str):
    pass


class AnyName(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class BadName(str):
    def __eq__(self, other):
        raise LookupError("compare")

    __hash__ = str.__hash__


@pytest.fixture
def vectorcall():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "pyobject_vectorcall"):
        pytest.skip("_testcapi.pyobject_vectorcall is not available")
    return testcapi.pyobject_vectorcall


VECTORCALLS = [
    # (function, positional + keyword values, keyword names, result or (error, message))
    (parse, ("01a;",), ("vorl",), [["a"]]),
    (parse, ("01a;",), (), [["a"]]),
    (parse, (), (), (TypeError, takes("parse", 0))),
    (parse, ("01a;",), ("".join(["vo", "rl"]),), [["a"]]),
    (parse, ("01a;",), (Name("vorl"),), [["a"]]),
    (stringify, ([["a"]],), (Name("lists"),), "01a;"),
    (parse, ("01a;",), (AnyName("zzz"),), [["a"]]),
    (parse, ("01a;",), (Name("x"),), (TypeError, "parse() got an unexpected keyword argument 'x'")),
    (parse, ("01a;", "01b;"), (Name("vorl"),),
     (TypeError, "parse() got multiple values for keyword argument 'vorl'")),
    (parse, ("01a;",), (BadName("vorl"),), (LookupError, "compare")),
    (parse, ("01a;",), (1,), (TypeError, "parse() keywords must be strings")),
    (stringify, ([],), (b"lists",), (TypeError, "stringify() keywords must be strings")),
    (parse, ("01a;", "01b;"), (None,), (TypeError, "parse() keywords must be strings")),
    (parse, ("01a;", "01b;"), ("vorl", 1), (TypeError, "parse() keywords must be strings")),
    (parse, ("01a;", "b", "c"), (1,), (TypeError, takes("parse", 2))),
]


@pytest.mark.parametrize("func, values, kwnames, outcome", VECTORCALLS)
def test_vectorcall_keyword_names(vectorcall, func, values, kwnames, outcome):
    if isinstance(outcome, tuple):
        error, message = outcome
        with pytest.raises(error) as info:
            vectorcall(func, values, kwnames)
        assert str(info.value) == message
    else:
        assert vectorcall(func, values, kwnames) == outcome


# ---- parse accepts exactly str --------------------------------------------------------------

class S(str):
    pass


class T(S):
    pass


@pytest.mark.parametrize("value, type_name, notes", [
    (None, "NoneType", 0),
    (b"01a;", "bytes", 0),
    (bytearray(b"01a;"), "bytearray", 0),
    (1, "int", 0),
    ([["a"]], "list", 0),
    (S("01a;"), "S", 1),
    (T(""), "T", 1),
])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_parse_rejects_all_but_exact_str(value, type_name, notes, by_keyword):
    with pytest.raises(TypeError) as info:
        parse(vorl=value) if by_keyword else parse(value)
    assert str(info.value) == (
        f"Argument 'vorl' has incorrect type (expected str, got {type_name})"
    )
    found = getattr(info.value, "__notes__", [])
    assert len(found) == notes
    if notes:
        assert isinstance(found[0], str) and "subclass" in found[0]


def test_stringify_takes_any_object_to_the_serializer():
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        stringify(None)
