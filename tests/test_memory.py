"""Running out of memory: every constructor, conversion, comparison and text
form either completes correctly or raises MemoryError, leaves no half-changed
object behind, and works again once memory is back.

Two sources of failure: the interpreter's allocators (_testcapi.set_nomemory,
in a subprocess, so that a crash fails the test instead of pytest) and the
module's own C++ allocations (the hook of a build made with
NORBE_FAULT_INJECTION=ON, reached through ctypes; skipped in other builds)."""

import ctypes
import json
import os

import pytest

import norbe
from conftest import run_python
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption
from norbe.package.outline import PackageOutline
from norbe.package.version import Version

PREFIX = "Cannot compare type None from constraint Maximize( "
SUFFIX = " ) with type Some(Int) from constraint 0 using operator '=='"


def text(obj):
    """The constraint text of `obj`, read from a refused comparison."""
    try:
        Maximize(obj) == 0
    except NotImplementedError as exc:
        message = str(exc)
    assert message.startswith(PREFIX) and message.endswith(SUFFIX), message
    return message[len(PREFIX) : -len(SUFFIX)]


def refusal(call):
    """The message of an expected exception other than MemoryError."""
    try:
        call()
    except MemoryError:
        raise
    except Exception as exc:  # noqa: BLE001
        return f"{type(exc).__name__}: {exc}"
    raise AssertionError("no exception")


def outline():
    PackageOutline(
        "pkg",
        [Depends("a"), NumOf([1, 2.5]) >= 1],
        {"int": 1, "float": 2.5, "text": "t" * 40, "version": Version("1.2"), "flag": True},
        {"none": None, "int": -1},
    )
    return "built"


def reads():
    c = Cmp(Depends("a"), Version("3.1"), CmpType.Equal)
    return [text(x) for x in NumOf([c, 2]).of] + [text(c.lhs), repr(c.op), repr(c.rhs.value)]


# Each returns a fingerprint of its whole result; under memory failure it
# must give the same fingerprint or raise MemoryError.
OPERATIONS = {
    "Version": lambda: repr(Version("1.2-rc1+b.18446744073709551616.*")) + str(Version("007.>")),
    "Version error": lambda: refusal(lambda: Version('1.a"b\u0301')),
    "SpecOption": lambda: text(SpecOption("package" * 4, "option")),
    "Depends": lambda: text(Depends("d" * 100)),
    "Cmp": lambda: text(Cmp(SpecOption("p", "o"), 2.5, CmpType.Less)),
    "IfThen": lambda: text(IfThen(Depends("a"), NumOf([1, "s", Version("1.2"), True, 1e300]))),
    "Maximize": lambda: text(Maximize(Minimize(NumOf([])))),
    "NumOf": lambda: text(NumOf([Depends(str(i)) for i in range(12)] + [(1, 2)[0]])),
    "comparison": lambda: text(NumOf([Depends("a"), Depends("b")]) >= 1),
    "reflected comparison": lambda: text(3 < NumOf([Depends("x")])),
    "refused comparison": lambda: refusal(lambda: SpecOption("a", "b") < Version("1.2")),
    "if_then": lambda: text((Depends("a") == True).if_then(Depends("b"))),  # noqa: E712
    "reads": lambda: reads(),
    "conversion error": lambda: refusal(lambda: NumOf([1, Depends("a"), None])),
    "option error": lambda: refusal(lambda: PackageOutline("p", set_options={"o": [1]})),
    "argument error": lambda: refusal(lambda: Cmp(1, 2)),
    # The refusal itself makes no C++ allocation: the converted list before it
    # does (a name too long to be kept inline; the list's own storage may come
    # from the node pool, which allocates nothing).
    "keyword error": lambda: refusal(lambda: PackageOutline("p", [Depends("a" * 24)], unexpected=1)),
    "outline": outline,
}

# Objects made before the failure, a property write under it, and the new value.
WRITES = [
    (lambda: Cmp(Depends("old"), 1, CmpType.Less), "lhs", lambda: NumOf([Depends("new"), 2])),
    (lambda: Cmp(Depends("old"), 1, CmpType.Less), "op", lambda: CmpType.Greater),
    (lambda: SpecOption("p", "old"), "option_name", lambda: "new" * 20),
    (lambda: Depends("old"), "on", lambda: "new"),
    (lambda: NumOf([1]), "of", lambda: [Depends("a"), Version("1.2"), "s"]),
    (lambda: IfThen(1, 2), "then", lambda: Maximize(3)),
    (lambda: Cmp(Depends("a"), 1, CmpType.Equal).rhs, "value", lambda: Version("2.0")),
]
WRITE_IDS = [name for _, name, _ in WRITES]


def read(obj, name):
    value = getattr(obj, name)
    if isinstance(value, str):
        return value
    if isinstance(value, list):
        return [text(x) for x in value]
    return repr(value) if isinstance(value, (CmpType, Version)) else text(value)


# --------------------------------------------------------- the module's own allocations


def fault_hook():
    try:
        arm = ctypes.PyDLL(norbe.__file__).norbe_fault_injection_arm
    except AttributeError:
        return None
    arm.restype = ctypes.c_long
    arm.argtypes = [ctypes.c_long, ctypes.c_int]
    return arm


needs_hook = pytest.mark.skipif(fault_hook() is None, reason="needs a build with NORBE_FAULT_INJECTION=ON")


@pytest.fixture
def fail_after():
    """fail_after(n, sticky): the (n+1)-th C++ allocation from now fails (and,
    when sticky, every later one). Returns a function that disarms the hook and
    tells how many failures were injected."""
    arm = fault_hook()
    yield lambda n, sticky: (arm(n, sticky), lambda: arm(-1, 0))[1]
    arm(-1, 0)


@needs_hook
@pytest.mark.parametrize("sticky", [0, 1], ids=["once", "sticky"])
@pytest.mark.parametrize("name", OPERATIONS)
def test_cxx_allocation_failures(name, sticky, fail_after):
    op = OPERATIONS[name]
    expected = op()
    n = 0
    while True:
        disarm = fail_after(n, sticky)
        try:
            got = op()
        except MemoryError:
            got = MemoryError
        finally:
            injected = disarm()
        assert got in (expected, MemoryError) if injected else got == expected, n
        assert op() == expected
        if not injected:
            break
        n += 1
    assert n > 0  # the operation allocates, so failures were injected


@needs_hook
@pytest.mark.parametrize(("make", "name", "new"), WRITES, ids=WRITE_IDS)
def test_cxx_allocation_failure_in_a_setter_changes_nothing(make, name, new, fail_after):
    target = make()
    setattr(target, name, new())
    wanted = read(target, name)
    n = 0
    while True:
        obj = make()
        before = read(obj, name)
        value = new()
        disarm = fail_after(n, 0)
        try:
            setattr(obj, name, value)
            failed = False
        except MemoryError:
            failed = True
        finally:
            injected = disarm()
        assert read(obj, name) == (before if failed else wanted)
        if not injected:
            break
        n += 1


class PanicIndex:
    def __init__(self, panic):
        self.panic = panic

    def __index__(self):
        raise self.panic("boom")


def changing_dict():
    d = {"a": None, "b": 2}
    d["a"] = type("Grow", (), {"__index__": lambda self: (d.update(new=1), 1)[1]})()
    return d


@needs_hook
@pytest.mark.parametrize("sticky", [0, 1], ids=["once", "sticky"])
@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda panic: Maximize(PanicIndex(panic)), "boom"),
        (lambda panic: PackageOutline("p", set_options=changing_dict()), "dictionary changed size during iteration"),
    ],
    ids=["resumed", "raised"],
)
def test_cxx_allocation_failure_while_reporting_an_internal_failure(call, message, sticky, fail_after, panic_exception):
    # The report and the exception need no C++ allocation: memory running out
    # here must not end the process.
    outcomes = set()
    for n in range(60):
        disarm = fail_after(n, sticky)
        try:
            call(panic_exception)
        except panic_exception as exc:
            outcomes.add(exc.args == (message,))
        except MemoryError:
            outcomes.add(MemoryError)
        finally:
            disarm()
    assert outcomes == {True, MemoryError}


# --------------------------------------------------------- the interpreter's allocators

NOMEMORY = """
import json, sys
sys.path.insert(0, {tests!r})
import _testcapi
import test_memory as m

results = {{}}
for name, op in m.OPERATIONS.items():
    expected = op()
    failures = 0
    for start in range(1, 400):
        _testcapi.set_nomemory(start)  # this and every later allocation fails
        try:
            got = op()
        except MemoryError:
            got = MemoryError
        finally:
            _testcapi.remove_mem_hooks()
        if got is MemoryError:
            failures += 1
        elif got != expected:
            results[name] = ["wrong result", start, repr(got)]
            break
        if op() != expected:
            results[name] = ["broken afterwards", start]
            break
        if got is not MemoryError:
            break  # it needs fewer allocations than `start`
    else:
        results[name] = ["never completed"]
    results.setdefault(name, failures)
print(json.dumps(results))
"""


def test_interpreter_allocation_failures():
    pytest.importorskip("_testcapi")
    rc, out, err = run_python(NOMEMORY.format(tests=os.path.dirname(__file__)), timeout=600)
    assert rc == 0, err.decode(errors="replace")[-3000:]
    results = json.loads(out)
    assert {name: type(r).__name__ for name, r in results.items()} == {name: "int" for name in OPERATIONS}, results
    assert all(count > 0 for count in results.values())
