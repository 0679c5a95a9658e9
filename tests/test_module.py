"""The vorl module: its namespace, its function objects, and how it is imported."""
import builtins
import os
import shutil
import sys

import pytest

import vorl

# ---- namespace ------------------------------------------------------------------------------


def test_namespace_order(run_python):
    # A fresh process: tests here delete and restore globals, which moves them to the end.
    run = run_python("import vorl; print(list(vorl.__dict__))")
    assert run.returncode == 0, run.stderr
    names = eval(run.stdout)
    start = names.index("sys")
    assert names[start:] == [
        "sys", "__all__", "HEX", "ErrUnexpectedEndOfInput", "UTF16_CODEC",
        "stringify", "parse", "__test__",
    ]
    assert names[start - 1] == "__builtins__"
    # The module constructor's names come first, in its own order.
    assert names[:5] == ["__name__", "__doc__", "__package__", "__loader__", "__spec__"]


def test_namespace_values():
    ns = vorl.__dict__
    assert type(ns["__all__"]) is list and ns["__all__"] == ["stringify", "parse"]
    assert ns["__doc__"] is None
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}
    assert ns["sys"] is sys
    assert ns["__builtins__"] is builtins
    assert ns["HEX"] == "0123456789abcdef"
    assert ns["ErrUnexpectedEndOfInput"] == "Unexpected end of input"
    assert ns["UTF16_CODEC"] == ("utf-16-be" if sys.byteorder == "big" else "utf-16-le")
    assert ns["__name__"] == "vorl"
    assert ns["__file__"] == vorl.__spec__.origin
    assert ns["__loader__"] is vorl.__spec__.loader
    assert ns["__package__"] == ""
    assert "__path__" not in ns


@pytest.mark.parametrize("func, name, doc, annotations", [
    (vorl.stringify, "stringify", "Serialize a 2D iterable of strings into a VORL string.",
     {"return": "str"}),
    (vorl.parse, "parse", "Parse a VORL string into a 2D list of strings.",
     {"vorl": "str", "return": "list"}),
])
def test_function_attributes(func, name, doc, annotations):
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "vorl"
    assert func.__doc__ == doc
    assert type(func.__annotations__) is dict
    assert list(func.__annotations__.items()) == list(annotations.items())


BYTEORDER = """
    import sys
    class Order:
        def __init__(self, ne):
            self.ne = ne
        def __ne__(self, other):
            if isinstance(self.ne, Exception):
                raise self.ne
            return self.ne
    class Text(str):
        def __ne__(self, other):
            return True
    sys.byteorder = {value}
    try:
        import vorl
    except Exception as error:
        print(type(error).__name__, error)
    else:
        print(vorl.UTF16_CODEC)
"""


@pytest.mark.parametrize("value, shown", [
    ("'big'", "utf-16-be"),
    ("'little'", "utf-16-le"),
    ("''.join(['b', 'ig'])", "utf-16-be"),
    ("Text('big')", "utf-16-le"),  # not an exact str: its own != decides
    ("Order(None)", "utf-16-be"),
    ("Order([])", "utf-16-be"),
    ("Order([0])", "utf-16-le"),
    ("Order(LookupError('order'))", "LookupError order"),
])
def test_utf16_codec_follows_byteorder(run_python, value, shown):
    done = run_python(BYTEORDER.format(value=value))
    assert done.returncode == 0, done.stderr
    assert done.stdout == shown + "\n"


# ---- importing again ------------------------------------------------------------------------

def test_import_again_gives_the_same_module(run_python):
    done = run_python("""
        import importlib, importlib.util, sys
        import vorl
        first = vorl
        vorl.HEX = "ABCDEFGHIJKLMNOP"
        del sys.modules["vorl"]
        import vorl
        assert vorl is first, "new module object"
        assert vorl.HEX == "ABCDEFGHIJKLMNOP"
        assert vorl.stringify([["a"]]) == "A1a;"
        assert importlib.reload(vorl) is first and vorl.HEX == "ABCDEFGHIJKLMNOP"
        assert importlib.util.module_from_spec(first.__spec__) is first
        print("same")
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "same\n", "")


FROM_LOCATION = """
    import _imp, os
    class Location:
        name = "vorl"
        origin = os.environ["VORL_SO"]
    where = Location()
    {setup}
    module = _imp.create_dynamic(where)
    ns = module.__dict__
    print(sorted((k, ns[k]) for k in ("__loader__", "__package__", "__path__") if k in ns))
    print(ns["__file__"] == where.origin, list(ns)[:5])
"""


@pytest.mark.parametrize("setup, first_line", [
    # A missing attribute is skipped; the constructor's None stays.
    ("", "[('__loader__', None), ('__package__', None)]"),
    ("where.loader = 'L'; where.parent = 'P'; where.submodule_search_locations = ['x']",
     "[('__loader__', 'L'), ('__package__', 'P'), ('__path__', ['x'])]"),
    # None is stored for loader and parent, never for the search locations.
    ("where.loader = None; where.parent = None; where.submodule_search_locations = None",
     "[('__loader__', None), ('__package__', None)]"),
])
def test_create_step_copies_import_attributes(run_python, setup, first_line):
    done = run_python(FROM_LOCATION.format(setup=setup), env={"VORL_SO": vorl.__file__})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        first_line,
        "True ['__name__', '__doc__', '__package__', '__loader__', '__spec__']",
    ]


def test_create_step_passes_on_other_attribute_failures(run_python):
    done = run_python("""
        import _imp, os
        class Location:
            name = "vorl"
            origin = os.environ["VORL_SO"]
            @property
            def parent(self):
                raise LookupError("no parent")
        try:
            _imp.create_dynamic(Location())
        except LookupError as error:
            print("failed:", error)
        del Location.parent
        print(_imp.create_dynamic(Location()).__package__)
    """, env={"VORL_SO": vorl.__file__})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["failed: no parent", "None"]


def test_exec_step_refuses_a_second_module_object(run_python):
    done = run_python("""
        import _imp, os, sys
        class Location:
            name = "vorl"
            origin = os.environ["VORL_SO"]
        first, second = _imp.create_dynamic(Location()), _imp.create_dynamic(Location())
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as error:
            print(error)
        print("HEX" in second.__dict__, sys.modules["vorl"] is first)
        first.HEX = "X"
        _imp.exec_dynamic(first)  # the recorded module: nothing runs again
        print(_imp.create_dynamic(Location()) is first, first.HEX)
    """, env={"VORL_SO": vorl.__file__})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "Module 'vorl' has already been imported. Re-initialisation is not supported.",
        "False True",
        "True X",
    ]


# ---- interpreters ---------------------------------------------------------------------------

CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

LEGACY = """
    import sys, _interpreters
    sys.path.insert(0, {path!r})
    def in_legacy_interpreter():
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.exec(interp, "import sys; sys.path.insert(0, %r); import vorl" % sys.path[0])
        return failure and (failure.type.__name__, failure.msg)
"""


def test_second_interpreter_is_refused(run_python):
    pytest.importorskip("_interpreters")
    done = run_python(LEGACY.format(path=os.path.dirname(vorl.__file__)) + """
    import vorl
    print(in_legacy_interpreter())
    print(vorl.stringify([["a"]]))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [str(("ImportError", CHANGE)), "01a;"]


def test_first_interpreter_keeps_the_module(run_python):
    pytest.importorskip("_interpreters")
    done = run_python(LEGACY.format(path=os.path.dirname(vorl.__file__)) + """
    print(in_legacy_interpreter())
    try:
        import vorl
    except ImportError as error:
        print(error)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["None", CHANGE]


def test_isolated_interpreter_refuses_before_loading(run_python):
    pytest.importorskip("concurrent.interpreters")
    done = run_python("""
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import sys; sys.path.insert(0, %r); import vorl")
        except interpreters.ExecutionFailed as failed:
            print(failed.excinfo.type.__name__, failed.excinfo.msg)
        interp.close()
        import vorl
        print(vorl.stringify([["a"]]))
    """ % os.path.dirname(vorl.__file__))
    assert done.returncode == 0, done.stderr
    refused, works = done.stdout.splitlines()
    assert refused.startswith("ImportError ") and "subinterpreters" in refused
    assert works == "01a;"


# ---- version check --------------------------------------------------------------------------

MISMATCH = "compile time Python version 3.16 of module 'vorl' does not match runtime version 3.15"


@pytest.fixture
def v316_dir():
    path = os.environ.get("VORL_BUILD_V316")
    if not path:
        pytest.skip("VORL_BUILD_V316 names no build for another version")
    return path


def test_version_mismatch_as_error_fails_the_import(run_python, v316_dir):
    done = run_python("import vorl", path=v316_dir, flags=("-W", "error"))
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1] == "RuntimeWarning: " + MISMATCH


def test_version_mismatch_warns_and_imports(run_python, v316_dir):
    done = run_python("""
        import sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import vorl
        print([(w.category.__name__, str(w.message)) for w in caught])
        print(vorl.stringify([["a"]]), sys.modules["vorl"] is vorl)
    """, path=v316_dir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [str([("RuntimeWarning", MISMATCH)]), "01a; True"]


def test_version_mismatch_error_then_a_clean_import(run_python, v316_dir):
    done = run_python("""
        import sys, warnings
        warnings.simplefilter("error")
        try:
            import vorl
        except RuntimeWarning:
            print("refused", "vorl" in sys.modules)
        warnings.simplefilter("ignore")
        import vorl
        print(vorl.stringify([["a"]]))
    """, path=v316_dir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["refused False", "01a;"]


# ---- as a package's submodule ---------------------------------------------------------------

@pytest.fixture
def package_dir(tmp_path):
    pkg = tmp_path / "pkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    shutil.copy(vorl.__file__, pkg / os.path.basename(vorl.__file__))
    return str(tmp_path)


def test_submodule_is_entered_as_vorl(run_python, package_dir):
    done = run_python("""
        import pickle, sys
        import pkg.vorl as m
        print(m.__name__, m.__package__, sys.modules["vorl"] is m, m.parse.__module__)
        print(pickle.loads(pickle.dumps(m.parse)) is m.parse)
    """, path=package_dir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["pkg.vorl pkg True vorl", "True"]


def test_submodule_leaves_an_existing_vorl_entry(run_python, package_dir):
    done = run_python("""
        import sys, types
        other = types.ModuleType("vorl")
        sys.modules["vorl"] = other
        import pkg.vorl as m
        print(sys.modules["vorl"] is other, sys.modules["pkg.vorl"] is m, m.stringify([["a"]]))
    """, path=package_dir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["True True 01a;"]
