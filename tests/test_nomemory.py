"""Allocation failure: every call ends in MemoryError or in its normal outcome.

Each case runs in a child process (this file run as a script) so that a crash fails one
test instead of killing the suite. The child first records the call's outcome with memory
available, then repeats the call with allocation number n failing, for n = 0, 1, 2, ...,
once with only that allocation failing and once with every allocation from n on failing.
The walk ends when the call, with every allocation from n on failing, gives its normal
outcome: from there on no allocation the call makes can fail any more.

Allowed outcomes: MemoryError, or exactly the normal outcome (an equal result of exact
types, or the same exception type and message). A SystemError (a result returned together
with an exception, or a failure returned without one), a different exception or a
different result fails the case.
"""

import json
import os
import subprocess
import sys

MAX_POINTS = 20000


# ---- the calls ------------------------------------------------------------------------

class Obj:
    def __str__(self):
        return "obj😀"


class Sub(str):
    def __str__(self):
        raise AssertionError("a str subclass is written without calling __str__")


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class SubText:
    def __str__(self):
        return Sub("sub😀")


class Stop(StopIteration):
    pass


class StopsEarly:
    """An iterator that ends with a StopIteration subclass."""
    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise Stop
        return self.items.pop(0)


def call_cases(vorl):
    """name -> (callable, setup, teardown); the callable makes fresh input every call."""
    def keep():
        pass

    saved = {}

    def without(name):
        def setup():
            saved[name] = getattr(vorl, name)
            delattr(vorl, name)

        def teardown():
            setattr(vorl, name, saved.pop(name))
        return setup, teardown

    def rebound(name, value):
        def setup():
            saved[name] = getattr(vorl, name)
            setattr(vorl, name, value)

        def teardown():
            setattr(vorl, name, saved.pop(name))
        return setup, teardown

    s, p = vorl.stringify, vorl.parse
    # Inputs are made up front where the call does not consume them, so that the failing
    # allocations fall in the module's code rather than in the making of the input.
    long_item = "y" * 150
    many_rows = [[str(i), "é" * i, "😀" * (i % 3)] for i in range(40)]
    many_text = "".join(f"0{i % 10}{'é' * (i % 10)}00;" for i in range(40))
    many_ucs4 = "02😀;" * 40
    non_str_row = [1, 2.5, None, True, Obj()]
    sub_text = Sub("01a;")
    sub_rows = [[Sub("sub"), Sub("😀" * 6)], (Sub(""),)]
    cases = {
        # stringify: successes, both paths
        "s_lists": lambda: s([["hello", "", "xxxxxxxxxxxx"], [], ["a;b", long_item]]),
        "s_tuples": lambda: s((("a", "bc"), (), ["d"])),
        "s_generators": lambda: s((iter(r) for r in [["a"], ("b", "c"), []])),
        "s_non_str": lambda: s([non_str_row, [10 ** 30]]),
        "s_widths": lambda: s([["é", "Ā", "😀", "a😀b"], ["\udc00", "x" * 10 + "😀"]]),
        "s_subclass": lambda: s(sub_rows),
        "s_str_gives_subclass": lambda: s([[SubText()]]),
        "s_stop_subclass": lambda: s(StopsEarly([StopsEarly(["a", "b"]), ["c"]])),
        "s_empty_row": lambda: s([[]]),
        "s_many": lambda: s(many_rows),
        # stringify: failures
        "s_not_iterable": lambda: s(None),
        "s_bad_row": lambda: s([[1], 2]),
        "s_bad_item": lambda: s([["a", BadStr()]]),
        "s_no_hex": lambda: s([["a"]]),
        "s_short_hex": lambda: s([["a"], ["bbbbbbbbbb"]]),
        "s_list_hex": lambda: s([["a", "b"]]),
        "s_dict_hex": lambda: s([["a"], ["bbbbbbbbbb"]]),
        # parse: successes, each storage width
        "p_ascii": lambda: p("05hello00;;03a;b1100123456789;02xy;"),
        "p_latin1": lambda: p("02é\xff;00;01é;"),
        "p_ucs2": lambda: p("01Ā;02ĀĀ;03aĀb;"),
        "p_ucs4": lambda: p("02😀;04😀😀03a😀;00;"),
        "p_single_row": lambda: p(";"),
        "p_many": lambda: p(many_text),
        "p_many_ucs4": lambda: p(many_ucs4),
        # parse: failures
        "p_empty": lambda: p(""),
        "p_token_ascii": lambda: p("05hello;x"),
        "p_eoi_ascii": lambda: p("05"),
        "p_token_ucs2": lambda: p("01Ā;Ā"),
        "p_eoi_ucs2": lambda: p("05Ā"),
        "p_token_ucs4": lambda: p("01😀;"),
        "p_token_astral": lambda: p("02😀;😀"),
        "p_eoi_ucs4": lambda: p("02😀05"),
        "p_no_eoi_name": lambda: p("05"),
        "p_not_str": lambda: p(b"01a;"),
        "p_str_subclass": lambda: p(sub_text),
        "p_keyword": lambda: p(vorl="01a;"),
        "p_bad_keyword": lambda: p(x=1),
    }
    setups = {
        "s_no_hex": without("HEX"),
        "s_short_hex": rebound("HEX", "0"),
        "s_list_hex": rebound("HEX", list(range(16))),
        "s_dict_hex": rebound("HEX", {0: "x"}),
        "p_no_eoi_name": without("ErrUnexpectedEndOfInput"),
    }
    return {name: (fn,) + setups.get(name, (keep, keep)) for name, fn in cases.items()}


def check_result(value):
    """A result must be a str, or a list of lists of str (all of exact type)."""
    if type(value) is str:
        return True
    return type(value) is list and all(
        type(row) is list and all(type(item) is str for item in row) for row in value)


def describe(result, exc):
    if exc is not None:
        return ("raise", type(exc).__name__, str(exc))
    return ("return", repr(result))


def attempt(testcapi, fn, start, stop):
    result = exc = None
    testcapi.set_nomemory(start, stop)
    try:
        result = fn()
    except BaseException as e:  # noqa: B902 - every outcome is classified below
        exc = e
    finally:
        testcapi.remove_mem_hooks()
    return result, exc


def run_child(name):
    import _testcapi
    import vorl

    fn, setup, teardown = call_cases(vorl)[name]
    setup()
    try:
        expected = describe(*attempt_plain(fn))
        attempt_plain(fn)  # warm caches and free lists
        problems = []
        points = 0
        for n in range(MAX_POINTS):
            for stop in (n + 1, 0):
                result, exc = attempt(_testcapi, fn, n, stop)
                points += 1
                if isinstance(exc, MemoryError):
                    continue
                outcome = describe(result, exc)
                if outcome != expected or (exc is None and not check_result(result)):
                    problems.append({"n": n, "stop": stop, "got": outcome})
            if describe(result, exc) == expected:  # the call with every allocation from n on failing
                break
        else:
            problems.append({"n": MAX_POINTS, "got": "never completed"})
    finally:
        teardown()
    print(json.dumps({"case": name, "expected": expected, "points": points, "last_n": n,
                      "problems": problems[:10]}))


def attempt_plain(fn):
    try:
        return fn(), None
    except BaseException as e:  # noqa: B902
        return None, e


# ---- import under allocation failure (one child per failing allocation) ---------------

IMPORT_CHILD = r"""
import importlib.util, sys, _testcapi

def import_under_failure(start, stop):
    failure = None
    _testcapi.set_nomemory(start, stop)
    try:
        import vorl
    except BaseException as e:
        failure = e
    finally:
        _testcapi.remove_mem_hooks()
    return failure

importlib.util.find_spec("vorl")  # warms the finder caches before the failures
n, every_later = int(sys.argv[1]), sys.argv[2] == "1"
first = import_under_failure(n, 0 if every_later else n + 1)
if first is not None and not isinstance(first, MemoryError):
    raise SystemExit("import failed with %r" % (first,))
import vorl  # with memory back the import works, after a failed one too
assert vorl.parse(vorl.stringify([["a", "\U0001F600"], []])) == [["a", "\U0001F600"], []]
assert vorl.HEX == "0123456789abcdef" and vorl.__all__ == ["stringify", "parse"]
assert vorl.ErrUnexpectedEndOfInput == "Unexpected end of input"
print("failed" if first is not None else "clean")
"""


# ---- pytest side ----------------------------------------------------------------------

if __name__ == "__main__":
    run_child(sys.argv[1])
else:
    import pytest

    pytest.importorskip("_testcapi")
    import vorl as _vorl

    CASES = sorted(call_cases(_vorl))
    REPORT = os.environ.get("VORL_GATE_REPORT")

    def report(kind, **figures):
        if REPORT:
            with open(REPORT, "a", encoding="utf-8") as f:
                f.write(json.dumps({"kind": kind, **figures}) + "\n")

    def run(args, timeout=120):
        return subprocess.run([sys.executable, *args], capture_output=True, text=True,
                              timeout=timeout, env=os.environ.copy())

    @pytest.mark.parametrize("name", CASES)
    def test_call_under_allocation_failure(name):
        proc = run([__file__, name])
        assert proc.returncode == 0, f"child died ({proc.returncode}):\n{proc.stderr[-3000:]}"
        outcome = json.loads(proc.stdout.strip().splitlines()[-1])
        assert outcome["problems"] == [], outcome
        assert outcome["last_n"] > 0, "the call made no allocation that could fail"
        report("nomemory", case=name, points=outcome["points"])

    def test_import_under_allocation_failure():
        def import_child(n, every_later):
            proc = run(["-c", IMPORT_CHILD, str(n), "1" if every_later else "0"])
            assert proc.returncode == 0, f"n={n} ({proc.returncode}):\n{proc.stderr[-3000:]}"
            return proc.stdout.strip()

        points = 0
        for n in range(MAX_POINTS):
            points += 1
            # A clean import with only allocation n failing ends the walk once a clean
            # import with every allocation from n on failing shows none is left.
            if import_child(n, False) == "clean":
                points += 1
                if import_child(n, True) == "clean":
                    break
        else:
            pytest.fail("the import never completed with a failing allocation")
        assert n > 0
        report("nomemory", case="import", points=points)
