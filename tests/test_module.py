"""The module tree, its functions and the entry banner on fd 1."""

import importlib
import re
import sys
import types

import pytest

import norbe
import norbe.package.constraint
import norbe.package.outline
import norbe.package.version
from conftest import FREE_THREADED, run_python

SUB_INTERPRETER_REFUSAL = (
    "norbe does not support sub-interpreters yet: it can be imported by one interpreter per process only "
    '(see the project\'s issue tracker, "sub-interpreter support")'
)

SUBMODULES = {
    "norbe.package": ("package", ["outline", "constraint", "version"]),
    "norbe.package.outline": ("outline", ["PackageOutline"]),
    "norbe.package.constraint": (
        "constraint",
        ["Cmp", "CmpType", "Depends", "IfThen", "Maximize", "Minimize", "NumOf", "SpecOption", "Value"],
    ),
    "norbe.package.version": ("version", ["Version"]),
}


def test_top_level_module():
    assert sys.modules["norbe"] is norbe
    assert norbe.__name__ == "norbe"
    assert norbe.__doc__ == ""
    assert norbe.__all__ == ["package", "init_tracing", "main_entry"]
    assert sorted(n for n in vars(norbe) if not n.startswith("__")) == ["init_tracing", "main_entry", "package"]


@pytest.mark.parametrize("dotted", SUBMODULES)
def test_submodule(dotted):
    short, names = SUBMODULES[dotted]
    module = sys.modules[dotted]
    parent = norbe
    for part in dotted.split(".")[1:]:
        parent = getattr(parent, part)
    assert module is parent
    assert isinstance(module, types.ModuleType)
    assert module.__name__ == short
    assert module.__doc__ is None
    assert module.__spec__ is None and module.__loader__ is None
    assert not hasattr(module, "__file__")
    assert module.__all__ == names
    assert sorted(n for n in vars(module) if not n.startswith("__")) == sorted(names)
    for name in names:
        assert getattr(module, name) is not None


def test_imports_by_name():
    from norbe.package.constraint import SpecOption
    from norbe.package.outline import PackageOutline
    from norbe.package.version import Version

    assert SpecOption is norbe.package.constraint.SpecOption
    assert PackageOutline is norbe.package.outline.PackageOutline
    assert Version is norbe.package.version.Version
    assert not hasattr(norbe.package, "spec")
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("norbe.package.spec")


def test_sys_modules_registration_order():
    rc, out, err = run_python(
        """
        import sys
        before = set(sys.modules)
        import norbe
        print([m for m in sys.modules if m.startswith("norbe") and m not in before])
        """
    )
    assert rc == 0, err
    assert out == (
        b"['norbe.package.outline', 'norbe.package.constraint', 'norbe.package.version', 'norbe.package', 'norbe']\n"
    )


def test_reimport_returns_the_cached_module():
    rc, out, err = run_python(
        """
        import importlib, sys
        import norbe
        from norbe.package.constraint import Cmp
        from norbe.package.version import Version
        first, package = norbe, norbe.package
        for round in range(2):
            del sys.modules["norbe"]
            again = importlib.import_module("norbe")
            assert again is first, round
            assert again.package is package
            assert again.package.constraint.Cmp is Cmp
            assert again.package.version.Version is Version
            assert again.__all__ == ["package", "init_tracing", "main_entry"]
        print("ok")
        """
    )
    assert (rc, out) == (0, b"ok\n"), err


@pytest.mark.parametrize("name", ["init_tracing", "main_entry"])
def test_functions(name):
    function = getattr(norbe, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "norbe"
    assert function.__self__ is norbe
    assert function.__text_signature__ == "()"
    assert function.__doc__ is None
    with pytest.raises(TypeError):
        function(1)
    with pytest.raises(TypeError):
        function(x=1)


def test_sub_interpreter_import_is_refused():
    rc, out, err = run_python(
        """
        import sys
        try:
            from _testcapi import run_in_subinterp
        except ImportError:
            sys.exit(77)
        import norbe
        code = '''
        try:
            import norbe
        except ImportError as e:
            print("refused:", e)
        else:
            print("imported")
        '''
        sys.stdout.flush()
        assert run_in_subinterp(code) == 0
        from norbe.package.constraint import Depends
        print("first:", Depends("a").on)
        """
    )
    if rc == 77:
        pytest.skip("_testcapi.run_in_subinterp is not available")
    assert rc == 0, err
    first, second = out.decode().splitlines()
    if FREE_THREADED:
        # That interpreter refuses a module of single-phase initialisation in a
        # sub-interpreter itself, before the module's own check runs.
        assert first == "refused: module norbe does not support loading in subinterpreters"
    else:
        assert first == f"refused: {SUB_INTERPRETER_REFUSAL}"
    assert second == "first: a"


BANNER = b"norbe entrypoint\n"


@pytest.mark.parametrize(
    ("code", "stdout"),
    [
        ("r = norbe.main_entry(); assert r is None", BANNER),
        ("norbe.main_entry(); norbe.main_entry()", BANNER * 2),
        # Python's sys.stdout is bypassed: the banner goes to fd 1 in its own write.
        (
            "import io, sys\n"
            "print('a', flush=True)\n"
            "sys.stdout = io.StringIO()\n"
            "norbe.main_entry()\n"
            "assert sys.stdout.getvalue() == ''\n"
            "sys.stdout = sys.__stdout__\n"
            "print('b')",
            b"a\n" + BANNER + b"b\n",
        ),
    ],
    ids=["once", "twice", "redirected"],
)
def test_main_entry_writes_to_fd_1(code, stdout):
    rc, out, err = run_python("import norbe\n" + code)
    assert (rc, out, err) == (0, stdout, b"")


def test_main_entry_with_fd_1_closed():
    rc, out, err = run_python(
        """
        import os, sys
        import norbe
        os.close(1)
        sys.stderr.write(repr(norbe.main_entry()))
        """
    )
    assert (rc, out, err) == (0, b"", b"None")


def test_main_entry_broken_pipe():
    rc, out, err = run_python(
        """
        import os, sys
        import norbe
        r, w = os.pipe()
        os.close(r)
        os.dup2(w, 1)
        try:
            norbe.main_entry()
        except Exception:
            sys.stderr.write("caught as Exception\\n")
        except BaseException as e:
            sys.stderr.write("RESULT %s.%s %r\\n" % (type(e).__module__, type(e).__name__, e.args))
        """
    )
    assert rc == 0, err
    result = err.decode().splitlines()[-1]
    assert result.startswith("RESULT norbe_runtime.PanicException ('failed printing to stdout: "), err
    assert result.endswith(" (os error 32)',)")


# The build stores each submodule into sys.modules: a sys.modules whose
# __setitem__ runs Python code lets that code act while the build is under way.
DURING_BUILD = """
import gc, importlib.machinery, importlib.util, sys, threading, time
spec = importlib.machinery.PathFinder.find_spec("norbe")
state = {{}}

def during_build(module):
{hook}

class Modules(dict):
    def __setitem__(self, key, value):
        if key == "norbe.package.outline" and not state:
            state["entered"] = True
            during_build(value)
        super().__setitem__(key, value)

sys.modules = Modules(sys.modules)
try:
    import norbe
    print("first: imported")
except BaseException as e:
    print(f"first: {{type(e).__module__}}.{{type(e).__name__}}: {{e}}")
sys.modules = dict(sys.modules)
import norbe
from norbe.package.constraint import CmpType
print("then:", norbe.__all__, norbe.package.__all__, norbe.package.constraint.__all__,
      [repr(getattr(CmpType, m)) for m in ("Less", "LessOrEqual", "NotEqual", "Equal", "GreaterOrEqual", "Greater")])
state.get("join", lambda: None)()
if "got" in state:
    state["same"] = state["got"] is norbe
for name in state.get("print", ()):
    print(name + ":", state[name])
"""

MEMBERS = ["Less", "LessOrEqual", "NotEqual", "Equal", "GreaterOrEqual", "Greater"]
WHOLE = (
    "then: ['package', 'init_tracing', 'main_entry'] ['outline', 'constraint', 'version'] "
    "['Cmp', 'CmpType', 'Depends', 'IfThen', 'Maximize', 'Minimize', 'NumOf', 'SpecOption', 'Value'] "
)


@pytest.mark.parametrize(
    ("hook", "first", "after"),
    [
        (  # re-entered on the building thread, the error handled there
            """
    try:
        import norbe
    except ImportError as e:
        state["inner"], state["print"] = repr(e), ["inner"]
""",
            "first: imported",
            ["inner: ImportError('norbe is being initialised by this thread already')"],
        ),
        (  # the same error left to end the build
            "    import norbe",
            "first: builtins.ImportError: norbe is being initialised by this thread already",
            [],
        ),
        (  # another thread imports meanwhile: it waits for the build and gets its module
            """
    def other():
        state["got"] = importlib.util.module_from_spec(spec)
    worker = threading.Thread(target=other)
    worker.start()
    time.sleep(0.2)
    state["join"], state["print"] = worker.join, ["same"]
""",
            "first: imported",
            ["same: True"],
        ),
        (  # the package's __all__ replaced by a tuple: appending to it fails
            """
    package = next(d for d in gc.get_referrers(module) if type(d) is dict and d.get("__name__") == "package")
    package["__all__"] = ("outline",)
""",
            "first: norbe_runtime.PanicException: could not append __name__ to __all__: PyErr { type: <class "
            "'SystemError'>, value: SystemError('Objects/listobject.c:LINE: bad argument to internal function'), "
            "traceback: None }",
            [],
        ),
    ],
    ids=["re-entered", "re-entry fails the build", "other thread", "__all__ not a list"],
)
def test_import_while_the_module_is_being_built(hook, first, after):
    rc, out, err = run_python(DURING_BUILD.format(hook=hook.strip("\n")))
    assert rc == 0, err.decode(errors="replace")
    # The interpreter names its own source file as it was built: Debian's builds
    # write "../Objects/listobject.c".
    lines = re.sub(r"(\.\./)?Objects/listobject\.c:\d+", "Objects/listobject.c:LINE", out.decode()).splitlines()
    assert lines == [first, WHOLE + str([f"CmpType.{m}" for m in MEMBERS]), *after]
