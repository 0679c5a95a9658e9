"""The function objects as Python tools see them: repr, signature, help, pickling, calls."""
import copy
import functools
import inspect
import pickle
import pydoc
import re

import pytest

import vorl

FUNCTIONS = [
    # (function, signature text, parameter, a call's argument, its result)
    (vorl.stringify, "(lists) -> 'str'", "lists", [["a"]], "01a;"),
    (vorl.parse, "(vorl: 'str') -> 'list'", "vorl", "01a;", [["a"]]),
]


@pytest.mark.parametrize("func, text, param, arg, result", FUNCTIONS)
def test_repr_names_the_function(func, text, param, arg, result):
    shown = repr(func)
    assert func.__name__ in shown and "vorl" in shown
    assert " at 0x" not in shown


@pytest.mark.parametrize("func, text, param, arg, result", FUNCTIONS)
def test_signature(func, text, param, arg, result):
    sig = inspect.signature(func)
    assert str(sig) == text
    (parameter,) = sig.parameters.values()
    assert parameter.name == param
    assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert parameter.default is inspect.Parameter.empty
    assert sig.bind(arg).arguments == {param: arg}
    with pytest.raises(TypeError):
        sig.bind()


@pytest.mark.parametrize("func, text, param, arg, result", FUNCTIONS)
def test_help_shows_signature_and_doc(func, text, param, arg, result):
    page = pydoc.render_doc(func, renderer=pydoc.plaintext)
    # pydoc may drop the quotes around string annotations.
    shown = re.escape(func.__name__ + text).replace("'", "'?")
    assert re.search("^" + shown + "$", page, re.M), page
    assert func.__doc__ in page
    assert inspect.getdoc(func) == func.__doc__


@pytest.mark.parametrize("func, text, param, arg, result", FUNCTIONS)
def test_pickle_and_copy_give_the_same_object(func, text, param, arg, result):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func
    assert copy.deepcopy(func) is func


@pytest.mark.parametrize("func, text, param, arg, result", FUNCTIONS)
def test_calls_through_every_path(func, text, param, arg, result):
    assert func(arg) == result
    assert func(**{param: arg}) == result
    assert func(*[arg]) == result
    assert functools.partial(func, **{param: arg})() == result
    # The type's own call slot turns a keyword dict into keyword names.
    assert type(func).__call__(func, **{param: arg}) == result
    assert type(func).__call__(func, arg) == result
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        type(func).__call__(func, arg, arg)


@pytest.mark.parametrize("func, text, param, arg, result", FUNCTIONS)
def test_does_not_bind_as_a_method(func, text, param, arg, result):
    holder = type("Holder", (), {"f": func})
    assert holder.f is func
    assert holder().f(arg) == result


def test_function_type():
    kind = type(vorl.parse)
    assert type(vorl.stringify) is kind
    assert inspect.isroutine(vorl.parse)
    with pytest.raises(TypeError):
        kind()
    with pytest.raises((AttributeError, TypeError)):
        vorl.parse.__name__ = "other"
