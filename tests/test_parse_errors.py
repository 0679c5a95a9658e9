"""The SyntaxError that parse() raises, and where its end-of-input message comes from."""
import builtins

import pytest

import vorl
from reference_codec import END_OF_INPUT, assert_syntax_error

NAME = "ErrUnexpectedEndOfInput"
_MISSING = object()
_BUILTIN_SYNTAX_ERROR = SyntaxError

# Texts that end too early at each place that checks: the empty text; narrow length field,
# narrow payload; wide length field, wide payload, nothing after a wide item.
END_TEXTS = ["", "0", "0x", "01a", "02\U0001f6001x", "05\U0001f600\U0001f600;", "02\U0001f600"]
FINE_TEXTS = [(";", [[]]), ("00;", [[""]]), ("02\U0001f600;", [["\U0001f600"]])]
TOKEN_TEXTS = [("x", "Unexpected token 'x' at position 0"),
               ("01\U0001f600;", "Unexpected token '\ude00' at position 3")]


@pytest.fixture
def end_message():
    """Lets a test rebind or delete the message in the module and in builtins; puts both back."""
    saved = vorl.__dict__.get(NAME, _MISSING)
    saved_builtin = builtins.__dict__.get(NAME, _MISSING)
    yield vorl.__dict__
    for where, value in ((vorl.__dict__, saved), (builtins.__dict__, saved_builtin)):
        if value is _MISSING:
            where.pop(NAME, None)
        else:
            where[NAME] = value


def raised(text):
    with pytest.raises(BaseException) as info:
        vorl.parse(text)
    return info.value


# The character goes into the message as it is: no escaping, any storage width.
MESSAGES = [
    ("'", "Unexpected token ''' at position 0"),
    ("\\;", "Unexpected token '\\' at position 0"),
    ('";', "Unexpected token '\"' at position 0"),
    ("\t", "Unexpected token '\t' at position 0"),
    ("\x7f;", "Unexpected token '\x7f' at position 0"),
    ("00\x80", "Unexpected token '\x80' at position 2"),
    ("\xa0;", "Unexpected token '\xa0' at position 0"),
    ("01a\u20ac", "Unexpected token '\u20ac' at position 3"),
    ("\udbff;", "Unexpected token '\udbff' at position 0"),
    ("\ufeff;", "Unexpected token '\ufeff' at position 0"),
    ("\U0010ffff;", "Unexpected token '\U0010ffff' at position 0"),
    ("00;\U0001f600", "Unexpected token '\U0001f600' at position 3"),
]


@pytest.mark.parametrize("text, message", MESSAGES)
def test_message_holds_the_character_unescaped(text, message):
    exc = raised(text)
    assert_syntax_error(exc, message)
    assert exc.msg == message
    assert exc.__context__ is None


@pytest.mark.parametrize("text", END_TEXTS)
def test_end_of_input_carries_the_module_constant(text):
    exc = raised(text)
    assert_syntax_error(exc, END_OF_INPUT)
    assert exc.args[0] is vorl.ErrUnexpectedEndOfInput


@pytest.mark.parametrize("value", [
    "Input ended early",
    "",
    "\U0001f600 ended",
    42,
    None,
    ("two", "parts"),
    ["list"],
    type("Message", (str,), {})("a str subclass"),
    object(),
], ids=repr)
@pytest.mark.parametrize("text", END_TEXTS)
def test_rebound_message_is_passed_unchanged(end_message, text, value):
    end_message[NAME] = value
    exc = raised(text)
    assert type(exc) is SyntaxError
    assert len(exc.args) == 1 and exc.args[0] is value
    assert (exc.filename, exc.lineno, exc.offset) == (None, None, None)


def test_rebinding_takes_effect_from_the_next_call(end_message):
    for value in ["first", "second", END_OF_INPUT]:
        end_message[NAME] = value
        assert raised("0").args == (value,)


@pytest.mark.parametrize("text", END_TEXTS)
def test_deleted_message_is_a_name_error(end_message, text):
    del vorl.ErrUnexpectedEndOfInput
    exc = raised(text)
    assert type(exc) is NameError
    assert exc.args == ("name 'ErrUnexpectedEndOfInput' is not defined",)


def test_deleted_message_leaves_other_calls_alone(end_message):
    del end_message[NAME]
    for text, rows in FINE_TEXTS:
        assert vorl.parse(text) == rows
    for text, message in TOKEN_TEXTS:
        assert_syntax_error(raised(text), message)


@pytest.mark.parametrize("value", ["from builtins", 7, object()], ids=repr)
def test_builtins_serve_when_the_module_lacks_the_name(end_message, value):
    del end_message[NAME]
    setattr(builtins, NAME, value)
    for text in END_TEXTS:
        exc = raised(text)
        assert type(exc) is SyntaxError and exc.args[0] is value


def test_module_binding_wins_over_builtins(end_message):
    end_message[NAME] = "module"
    setattr(builtins, NAME, "builtins")
    assert raised("0").args == ("module",)


class Boom(BaseException):
    pass


class CollidingKey:
    """A key hashed like the message's name whose comparison fails while armed."""

    def __init__(self, error):
        self.error = error
        self.armed = True
        self.compared = 0

    def __hash__(self):
        return hash(NAME)

    def __eq__(self, other):
        if self.armed:
            self.compared += 1
            raise self.error
        return self is other


@pytest.mark.parametrize("error", [ValueError("bad key"), RuntimeError("bad key")])
def test_ordinary_error_in_the_module_search_falls_through_to_builtins(end_message, error):
    del end_message[NAME]
    key = CollidingKey(error)
    end_message[key] = "never read"
    try:
        exc = raised("0")
        assert key.compared > 0
        assert type(exc) is NameError, exc
        setattr(builtins, NAME, "from builtins")
        exc = raised("0")
        assert type(exc) is SyntaxError and exc.args == ("from builtins",)
    finally:
        key.armed = False
        del end_message[key]


def test_other_error_in_the_module_search_propagates(end_message):
    del end_message[NAME]
    error = Boom("stop")
    key = CollidingKey(error)
    end_message[key] = "never read"
    setattr(builtins, NAME, "from builtins")
    try:
        assert raised("0") is error
        assert key.compared > 0
        assert vorl.parse(";") == [[]]
    finally:
        key.armed = False
        del end_message[key]


def test_syntax_error_type_is_not_looked_up(monkeypatch):
    monkeypatch.setattr(builtins, "SyntaxError", ValueError)
    for text in ["x", "0"]:
        exc = raised(text)
        assert type(exc) is _BUILTIN_SYNTAX_ERROR
