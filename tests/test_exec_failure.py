"""A failed exec step leaves nothing half-built behind, and the next import starts afresh."""
import subprocess
import sys

import vorl

SNIPPET = r"""
import importlib.util, sys
path = sys.argv[1]
saved = sys.byteorder
del sys.byteorder            # the UTF16_CODEC statement fails on it
spec = importlib.util.spec_from_file_location("somepkg.vorl", path)
first = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(first)
except AttributeError as exc:
    print("failed:", type(exc).__name__)
print("vorl entry left:", "vorl" in sys.modules)
print("bound before the failure:", "HEX" in first.__dict__, "stringify" in first.__dict__)
sys.byteorder = saved
import vorl
print("fresh module:", vorl is not first, vorl.UTF16_CODEC == ("utf-16-le" if saved == "little" else "utf-16-be"))
print("works:", vorl.parse(vorl.stringify([["a", "😀"]])) == [["a", "😀"]])
"""


def test_failed_exec_drops_its_vorl_entry_and_allows_a_new_import():
    run = subprocess.run([sys.executable, "-c", SNIPPET, vorl.__file__], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "failed: AttributeError",
        "vorl entry left: False",
        "bound before the failure: True False",
        "fresh module: True True",
        "works: True",
    ]
