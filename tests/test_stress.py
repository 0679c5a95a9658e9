"""Threads change the input and the module globals while calls run.

The global lock changes hands inside host code that a call runs: an item's __str__, an
iterator, a finalizer. Other threads then append to, remove from and clear the lists being
serialized, or rebind HEX and ErrUnexpectedEndOfInput. Every call must still end in a
valid VORL text (it parses back, to items that could have been met) or a clean exception.
Each test runs a bounded number of iterations and stops early at a time limit, so the
whole file stays within a few seconds per test.
"""

import json
import os
import sys
import threading
import time

import pytest

import vorl

ITERATIONS = 4000
TIME_LIMIT = 4.0  # seconds per test; the iterations stop here at the latest
REPORT = os.environ.get("VORL_GATE_REPORT")


@pytest.fixture(autouse=True)
def quick_switches():
    """Hands the global lock over as often as the interpreter allows."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def report(test, iterations):
    if REPORT:
        with open(REPORT, "a", encoding="utf-8") as f:
            f.write(json.dumps({"kind": "stress", "test": test, "iterations": iterations}) + "\n")


def iterations():
    """Yields iteration numbers until the count or the time limit is reached."""
    deadline = time.monotonic() + TIME_LIMIT
    for i in range(ITERATIONS):
        if time.monotonic() > deadline:
            return
        yield i


class Background:
    """Runs `step` in a loop on other threads until the block ends; re-raises their failures."""

    def __init__(self, step, threads=2):
        self.step = step
        self.stop = threading.Event()
        self.failures = []
        self.threads = [threading.Thread(target=self.run) for _ in range(threads)]

    def run(self):
        try:
            while not self.stop.is_set():
                self.step()
        except BaseException as e:  # noqa: B902 - reported to the test thread
            self.failures.append(e)

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for t in self.threads:
            t.join()
        if self.failures:
            raise self.failures[0]


class Yielding:
    """An item whose text is fixed but whose __str__ gives other threads a turn."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        time.sleep(0)
        return self.text


TEXTS = ["", "a", "é" * 3, "Ā;9", "😀", "x😀" * 6, "0123456789", "\udc00"]


def check_text(result, allowed):
    """The result is a VORL text whose items are all among `allowed`."""
    assert type(result) is str
    if result == "":
        return []
    rows = vorl.parse(result)
    for row in rows:
        for item in row:
            assert item in allowed, (item, result)
    assert vorl.stringify(rows) == result
    return rows


def test_lists_change_while_serialized():
    shared = [[Yielding(t) for t in TEXTS] for _ in range(4)]
    extra = [Yielding(t) for t in TEXTS]
    lock = threading.Lock()  # only between the background threads: list ops stay atomic
    counter = [0]

    def mutate():
        with lock:
            counter[0] += 1
            k = counter[0]
        row = shared[k % len(shared)]
        action = k % 5
        if action == 0:
            row.append(extra[k % len(extra)])
        elif action == 1 and row:
            row.pop(0)
        elif action == 2:
            row.clear()
        elif action == 3:
            row.extend(extra[: k % 4])
        else:
            row.insert(0, "plain")
        if len(row) > 40:
            del row[20:]
        time.sleep(0)

    allowed = set(TEXTS) | {"plain"}
    done = 0
    with Background(mutate):
        for i in iterations():
            check_text(vorl.stringify(shared), allowed)
            check_text(vorl.stringify(tuple(iter(r) for r in shared)), allowed)
            done += 1
    assert done > 0 and counter[0] > 0
    report("lists_change_while_serialized", done)


class Dying:
    """An item whose release clears a shared row, from whichever thread drops it last."""

    def __init__(self, text, victim):
        self.text = text
        self.victim = victim

    def __str__(self):
        time.sleep(0)
        return self.text

    def __del__(self):
        self.victim.clear()


def test_finalizers_change_lists_while_serialized():
    victim = list(TEXTS)
    rows = [victim, []]
    allowed = set(TEXTS) | {"dying"}

    def churn():
        # Replaces the second row's item: the old one's last reference may be the
        # serializer's, which then runs its finalizer in the middle of a call.
        rows[1] = [Dying("dying", victim)]
        victim.extend(TEXTS[: 3])
        if len(victim) > 40:
            del victim[8:]
        time.sleep(0)

    done = 0
    with Background(churn):
        for i in iterations():
            check_text(vorl.stringify(rows), allowed)
            done += 1
    assert done > 0
    report("finalizers_change_lists", done)


class Reentrant:
    """An item whose __str__ runs both functions again, on the same thread."""

    def __init__(self, depth):
        self.depth = depth

    def __str__(self):
        inner = [["in", "😀"], [Reentrant(self.depth - 1)]] if self.depth else [["leaf"]]
        text = vorl.stringify(inner)
        assert vorl.stringify(vorl.parse(text)) == text
        time.sleep(0)
        return text


def expected_reentrant(depth):
    inner = [["in", "😀"], [expected_reentrant(depth - 1)]] if depth else [["leaf"]]
    return vorl.stringify(inner)


def test_item_str_calls_both_functions():
    value = [["a", Reentrant(3), "b"], [Reentrant(1)]]
    expected = vorl.stringify([["a", expected_reentrant(3), "b"], [expected_reentrant(1)]])

    def other_calls():
        assert vorl.parse(vorl.stringify([[Reentrant(2)]])) == [[expected_reentrant(2)]]

    done = 0
    with Background(other_calls):
        for i in iterations():
            assert vorl.stringify(value) == expected
            done += 1
    assert vorl.parse(expected)[0][1] == expected_reentrant(3)
    report("item_str_calls_both_functions", done)


def test_hex_rebound_by_another_thread(module_globals):
    rows = [[Yielding("x" * n) for n in (0, 5, 12, 150)], ["plain", "y" * 11]]
    expected = [["x" * n for n in (0, 5, 12, 150)], ["plain", "y" * 11]]
    bindings = ["0123456789abcdef", "0123456789ABCDEF", list("0123456789ABCDEF")]
    counter = [0]

    def rebind():
        counter[0] += 1
        k = counter[0] % 5
        if k < 3:
            vorl.HEX = bindings[k]
        elif k == 3:
            vorl.HEX = list(range(16))  # the join fails with TypeError
        else:
            vorl.__dict__.pop("HEX", None)  # the next lookup fails with NameError
        time.sleep(0)

    done = failures = 0
    with Background(rebind, threads=1):
        for i in iterations():
            try:
                result = vorl.stringify(rows)
            except (TypeError, NameError):
                failures += 1
            else:
                # Any mix of lower- and upper-case H digits reads back the same.
                assert vorl.parse(result) == expected
            done += 1
    assert done > failures  # the default binding comes back every fifth step
    report("hex_rebound", done)


def test_end_of_input_message_rebound_by_another_thread(module_globals):
    messages = ["Unexpected end of input", "ran out", 42]

    def rebind():
        for m in messages:
            vorl.ErrUnexpectedEndOfInput = m
            time.sleep(0)
        vorl.__dict__.pop("ErrUnexpectedEndOfInput", None)
        time.sleep(0)

    done = 0
    with Background(rebind, threads=1):
        for i in iterations():
            for text in ("05", "02😀05", "01Ā"):
                try:
                    vorl.parse(text)
                except SyntaxError as e:
                    assert e.args in [(m,) for m in messages]
                except NameError as e:
                    assert str(e) == "name 'ErrUnexpectedEndOfInput' is not defined"
                else:
                    pytest.fail("an incomplete text parsed")
            assert vorl.parse("02😀;01Ā;") == [["😀"], ["Ā"]]
            done += 1
    assert done > 0
    report("end_of_input_rebound", done)


def test_parse_on_many_threads():
    texts = [vorl.stringify([[t * k for t in TEXTS] for k in range(1, 6)]), "01Ā;" * 50,
             "02😀;" * 50, "05hello00;;"]
    expected = [vorl.parse(t) for t in texts]

    def parse_all():
        for t, e in zip(texts, expected):
            assert vorl.parse(t) == e
            time.sleep(0)

    done = 0
    with Background(parse_all, threads=3):
        for i in iterations():
            parse_all()
            done += 1
    assert done > 0
    report("parse_on_many_threads", done)
