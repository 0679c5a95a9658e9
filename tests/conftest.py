"""Shared fixtures: module globals put back after a test, and snippets run in a fresh interpreter."""
import builtins
import os
import subprocess
import sys
import textwrap

import pytest

import vorl

_MISSING = object()
_GLOBALS = ("HEX", "ErrUnexpectedEndOfInput")


@pytest.fixture
def module_globals():
    """Lets a test rebind or delete HEX and ErrUnexpectedEndOfInput (also in builtins)."""
    saved = {name: vorl.__dict__.get(name, _MISSING) for name in _GLOBALS}
    saved_builtins = {name: builtins.__dict__.get(name, _MISSING) for name in _GLOBALS}
    yield vorl
    for where, values in ((vorl.__dict__, saved), (builtins.__dict__, saved_builtins)):
        for name, value in values.items():
            if value is _MISSING:
                where.pop(name, None)
            else:
                where[name] = value


@pytest.fixture
def run_python():
    """Runs a snippet with this interpreter in a new process; the built module is importable.

    Returns the finished process (text output). `path` replaces where vorl is found;
    `env` adds variables; `flags` go before -c.
    """
    module_dir = os.path.dirname(vorl.__file__)

    def run(code, *, path=None, env=None, flags=()):
        full_env = dict(os.environ)
        full_env["PYTHONPATH"] = path if path is not None else module_dir
        full_env.update(env or {})
        return subprocess.run(
            [sys.executable, *flags, "-c", textwrap.dedent(code)],
            env=full_env, capture_output=True, text=True, timeout=120,
        )

    return run
