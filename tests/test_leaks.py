"""No call leaks: repeated success and failure paths leave the memory where it was.

Every call of the allocation-failure table (test_nomemory.call_cases: each success and
failure path of both functions) runs in a child process, warmed up first, then in rounds
of repeated calls. Under the debug interpreter (python3.15d with the module built against
it, found through VORL_BUILD_DBG) the child measures sys.gettotalrefcount() and
sys.getallocatedblocks(); under any interpreter it measures tracemalloc's traced memory.
A leak of even one reference or one block per call grows a round by its call count; the
tolerance absorbs the interpreter's own caches, which do not grow round after round.
"""

import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
WARMUP = 200
ROUNDS = 3
CALLS = 1000  # per round
TOLERANCE = 8  # references, blocks or bytes a round may grow by without a leak


def measure(kind):
    import gc
    gc.collect()
    if kind == "tracemalloc":
        import tracemalloc
        return (tracemalloc.get_traced_memory()[0],)
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def run_child(kind, names):
    sys.path.insert(0, HERE)
    import vorl
    from test_nomemory import call_cases

    cases = call_cases(vorl)
    if kind == "tracemalloc":
        import tracemalloc
        tracemalloc.start()
    results = []
    for name in names:
        fn, setup, teardown = cases[name]
        setup()
        try:
            for _ in range(WARMUP):
                call(fn)
            growth = []
            for _ in range(ROUNDS):
                before = measure(kind)
                for _ in range(CALLS):
                    call(fn)
                after = measure(kind)
                growth.append([a - b for a, b in zip(after, before)])
        finally:
            teardown()
        results.append({"case": name, "growth": growth, "calls": WARMUP + ROUNDS * CALLS})
    print(json.dumps(results))


def call(fn):
    try:
        fn()
    except Exception:  # failures are part of the table; their objects must go too
        pass


if __name__ == "__main__":
    run_child(sys.argv[1], sys.argv[2:])
else:
    import pytest

    import vorl as _vorl
    from test_nomemory import call_cases

    CASES = sorted(call_cases(_vorl))
    REPORT = os.environ.get("VORL_GATE_REPORT")

    def leaking(results):
        """Cases that grew in every round by more than the tolerance, in some measure."""
        bad = []
        for r in results:
            for k in range(len(r["growth"][0])):
                if min(g[k] for g in r["growth"]) > TOLERANCE:
                    bad.append(r)
                    break
        return bad

    def run_cases(python, kind, env):
        proc = subprocess.run([python, __file__, kind, *CASES], capture_output=True, text=True,
                              timeout=600, env=env)
        assert proc.returncode == 0, f"child died ({proc.returncode}):\n{proc.stderr[-3000:]}"
        results = json.loads(proc.stdout.strip().splitlines()[-1])
        assert [r["case"] for r in results] == CASES
        if REPORT:
            with open(REPORT, "a", encoding="utf-8") as f:
                f.write(json.dumps({"kind": "leaks", "measure": kind, "cases": len(results),
                                    "calls": sum(r["calls"] for r in results)}) + "\n")
        return results

    def test_no_growth_in_traced_memory():
        results = run_cases(sys.executable, "tracemalloc", os.environ.copy())
        assert leaking(results) == []

    def debug_interpreter():
        build = os.environ.get("VORL_BUILD_DBG")
        if not build:
            pytest.skip("VORL_BUILD_DBG does not name a build of the module for python3.15d")
        python = shutil.which("python3.15d") or shutil.which("python3.15-dbg")
        if python is None:
            pytest.skip("no python3.15d")
        return python, build

    def test_no_growth_in_references_and_blocks():
        python, build = debug_interpreter()
        env = {**os.environ, "PYTHONPATH": build}
        results = run_cases(python, "debug", env)
        assert leaking(results) == []
