"""Rules shared by every exposed class: type objects, argument matching and
conversion errors, properties, and the internal-failure exception."""

import gc
import re
import sys
import sysconfig
import weakref

import pytest

from conftest import run_python
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from norbe.package.outline import PackageOutline
from norbe.package.version import Version


def value_of(x):
    return Cmp(Depends("a"), x, CmpType.Equal).rhs


# class, a sample instance, has comparisons, (text signature, doc)
CLASSES = [
    (Cmp, lambda: Cmp(1, 2, CmpType.Less), True, ("(lhs, rhs, op)", "")),
    (CmpType, lambda: Cmp(1, 2, CmpType.Less).op, False, (None, None)),
    (Depends, lambda: Depends("a"), True, ("(name)", "")),
    (IfThen, lambda: IfThen(1, 2), True, ("(cond, then)", "")),
    (Maximize, lambda: Maximize(1), True, ("(item)", "")),
    (Minimize, lambda: Minimize(1), True, ("(item)", "")),
    (NumOf, lambda: NumOf([]), True, ("(of)", "")),
    (
        PackageOutline,
        lambda: PackageOutline("p"),
        False,
        ("(name, constraints=None, set_options=None, set_defaults=None, **kwargs)", ""),
    ),
    (SpecOption, lambda: SpecOption("p", "o"), True, ("(package_name, option_name)", "")),
    (Value, lambda: value_of(1), True, (None, None)),
    (
        Version,
        lambda: Version("1"),
        False,
        ("(ver)", "A generic version.\n\nSee the documentation for this module for more information."),
    ),
]
CLASS_NAMES = ["Cmp", "CmpType", "Depends", "IfThen", "Maximize", "Minimize", "NumOf", "PackageOutline", "SpecOption"]
CLASS_NAMES += ["Value", "Version"]

Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14
Py_TPFLAGS_DISALLOW_INSTANTIATION = 1 << 7


# Types are immortal on free-threaded builds (where every instance's count on
# its type would otherwise be contended); with the interpreter lock each
# instance holds a reference to its type.
IMMORTAL_TYPES = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.parametrize(("cls", "make"), [(c[0], c[1]) for c in CLASSES], ids=CLASS_NAMES)
def test_types_are_immortal_where_the_interpreter_makes_them_so(cls, make):
    before = sys.getrefcount(cls)
    held = [make() for _ in range(50)]
    assert all(type(obj) is cls for obj in held)
    grown = sys.getrefcount(cls) - before
    assert grown == (0 if IMMORTAL_TYPES else 50)
    if hasattr(sys, "_is_immortal"):
        assert sys._is_immortal(cls) == IMMORTAL_TYPES
    del held
    assert sys.getrefcount(cls) == before


@pytest.mark.parametrize(
    ("name", "cls", "make", "compares", "doc"), [(n, *c) for n, c in zip(CLASS_NAMES, CLASSES)], ids=CLASS_NAMES
)
def test_type_object(name, cls, make, compares, doc):
    assert cls.__name__ == name
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert (cls.__text_signature__, cls.__doc__) == doc
    assert cls.__flags__ & (Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC) == 0
    assert bool(cls.__flags__ & Py_TPFLAGS_DISALLOW_INSTANTIATION) == (cls in (Value, CmpType))
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})

    obj = make()
    assert type(obj) is cls
    assert not gc.is_tracked(obj)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.foo = 1
    if compares:
        assert cls.__hash__ is None
        with pytest.raises(TypeError, match="unhashable type"):
            hash(obj)
    else:
        assert cls.__hash__ is object.__hash__
        assert hash(obj) == object.__hash__(obj)
        assert obj == obj and obj != make()
    if cls not in (Version, CmpType):
        assert repr(obj) == object.__repr__(obj)
        assert str(obj) == repr(obj)


COMPARISONS = {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__hash__"}
ATTRIBUTES = {
    Cmp: COMPARISONS | {"__new__", "lhs", "rhs", "op", "if_then"},
    CmpType: {"__repr__", "__int__", "Less", "LessOrEqual", "NotEqual", "Equal", "GreaterOrEqual", "Greater"},
    Depends: COMPARISONS | {"__new__", "on"},
    IfThen: COMPARISONS | {"__new__", "cond", "then"},
    Maximize: COMPARISONS | {"__new__", "item"},
    Minimize: COMPARISONS | {"__new__", "item"},
    NumOf: COMPARISONS | {"__new__", "of"},
    PackageOutline: {"__new__"},
    SpecOption: COMPARISONS | {"__new__", "package_name", "option_name"},
    Value: COMPARISONS | {"value"},
    Version: {"__new__", "__repr__", "__str__"},
}


@pytest.mark.parametrize("cls", ATTRIBUTES, ids=lambda c: c.__name__)
def test_class_attributes(cls):
    assert set(vars(cls)) - {"__doc__", "__module__"} == ATTRIBUTES[cls]
    for name, attribute in vars(cls).items():
        if not name.startswith("__") and type(attribute) is not cls:
            assert attribute.__doc__ is None or name == "if_then", name


@pytest.mark.parametrize("cls", [Value, CmpType])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError, match="cannot create"):
        cls()
    with pytest.raises(TypeError):
        cls(1)


# (class, args, kwargs, message); every call is made both ways (vectorcall and tp_new).
MATCHING = [
    (Cmp, (1, 2), {}, "Cmp.__new__() missing 1 required positional argument: 'op'"),
    (Cmp, (), {}, "Cmp.__new__() missing 3 required positional arguments: 'lhs', 'rhs', and 'op'"),
    (Cmp, (), {"rhs": 1}, "Cmp.__new__() missing 2 required positional arguments: 'lhs' and 'op'"),
    (Cmp, (1, 2, CmpType.Less, 4), {}, "Cmp.__new__() takes 3 positional arguments but 4 were given"),
    (
        SpecOption,
        (),
        {},
        "SpecOption.__new__() missing 2 required positional arguments: 'package_name' and 'option_name'",
    ),
    (SpecOption, ("a",), {"package_name": "b"}, "SpecOption.__new__() got multiple values for argument 'package_name'"),
    (SpecOption, (), {"foo": 1, "bar": 2}, "SpecOption.__new__() got an unexpected keyword argument 'foo'"),
    (
        SpecOption,
        ("a", "b"),
        {"option_name": 1, "x": 1},
        "SpecOption.__new__() got multiple values for argument 'option_name'",
    ),
    (SpecOption, ("a", "b"), {"x": 1, "option_name": 1}, "SpecOption.__new__() got an unexpected keyword argument 'x'"),
    (SpecOption, ("a", "b", "c"), {"x": 1}, "SpecOption.__new__() takes 2 positional arguments but 3 were given"),
    (IfThen, (1, 2, 3), {}, "IfThen.__new__() takes 2 positional arguments but 3 were given"),
    (Version, ("1", "2"), {}, "Version.__new__() takes 1 positional arguments but 2 were given"),
    (Version, (), {"ver": "1", "foo": 2}, "Version.__new__() got an unexpected keyword argument 'foo'"),
    (Version, ("1",), {"ver": "2"}, "Version.__new__() got multiple values for argument 'ver'"),
    (Depends, (), {}, "Depends.__new__() missing 1 required positional argument: 'name'"),
    (NumOf, (), {"on": []}, "NumOf.__new__() got an unexpected keyword argument 'on'"),
    (Maximize, (1, 2), {}, "Maximize.__new__() takes 1 positional arguments but 2 were given"),
    (Minimize, (), {}, "Minimize.__new__() missing 1 required positional argument: 'item'"),
    (
        PackageOutline,
        ("a", None, None, None, None),
        {},
        "PackageOutline.__new__() takes from 1 to 4 positional arguments but 5 were given",
    ),
    (PackageOutline, (), {}, "PackageOutline.__new__() missing 1 required positional argument: 'name'"),
    (PackageOutline, (), {"foo": 1}, "PackageOutline.__new__() missing 1 required positional argument: 'name'"),
    (PackageOutline, ("pkg",), {"name": "x"}, "PackageOutline.__new__() got multiple values for argument 'name'"),
    # Matching completes before any argument is converted.
    (SpecOption, (1,), {}, "SpecOption.__new__() missing 1 required positional argument: 'option_name'"),
    # A keyword name that UTF-8 cannot hold is a keyword all the same.
    (Cmp, (), {"\ud800": None}, "Cmp.__new__() got an unexpected keyword argument '\ud800'"),
    (Version, ("1",), {"\udc80": 1}, "Version.__new__() got an unexpected keyword argument '\udc80'"),
    (Depends, (), {"na\udfffme": 1}, "Depends.__new__() got an unexpected keyword argument 'na\udfffme'"),
    (Depends, ("a",), {"nam\u00e9": 1}, "Depends.__new__() got an unexpected keyword argument 'nam\u00e9'"),
]


# The entries a constructor is reached through: the vectorcall entry, and
# tp_new without a keyword dictionary or with one (empty when no keyword is given).
VIA = ["call", "__new__", "__new__ with **"]


def construct(cls, args, kwargs, via):
    if via == "call":
        return cls(*args, **kwargs)
    if via == "__new__" and not kwargs:
        return cls.__new__(cls, *args)
    return cls.__new__(cls, *args, **kwargs)


def construct_error(cls, args, kwargs, via):
    """What constructing raises, through the given entry."""
    with pytest.raises(TypeError) as info:
        construct(cls, args, kwargs, via)
    return info.value


@pytest.mark.parametrize("via", VIA)
@pytest.mark.parametrize(("cls", "args", "kwargs", "message"), MATCHING)
def test_argument_matching(cls, args, kwargs, message, via):
    error = construct_error(cls, args, kwargs, via)
    assert type(error) is TypeError
    assert str(error) == message


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "Cmp.if_then() missing 1 required positional argument: 'then'"),
        ((1, 2), {}, "Cmp.if_then() takes 1 positional arguments but 2 were given"),
        ((1,), {"then": 2}, "Cmp.if_then() got multiple values for argument 'then'"),
        ((), {"cond": 2}, "Cmp.if_then() got an unexpected keyword argument 'cond'"),
        ((), {"\ud800": 2}, "Cmp.if_then() got an unexpected keyword argument '\ud800'"),
    ],
)
def test_method_argument_matching(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Cmp(1, 2, CmpType.Less).if_then(*args, **kwargs)
    assert str(info.value) == message


class Outer:
    class Inner:
        pass


class Unnamed:
    pass


Unnamed.__qualname__ = "Un\udc80named"


class StrSubclass(str):
    pass


# Constructor calls whose argument conversion fails: (class, args, kwargs, message).
CONVERSIONS = [
    (SpecOption, (1, "x"), {}, "argument 'package_name': 'int' object cannot be cast as 'str'"),
    (SpecOption, ("a", 1), {}, "argument 'option_name': 'int' object cannot be cast as 'str'"),
    (SpecOption, (None, 1), {}, "argument 'package_name': 'NoneType' object cannot be cast as 'str'"),
    (
        SpecOption,
        (),
        {"option_name": b"o", "package_name": "p"},
        "argument 'option_name': 'bytes' object cannot be cast as 'str'",
    ),
    (SpecOption, (Outer.Inner(), "x"), {}, "argument 'package_name': 'Outer.Inner' object cannot be cast as 'str'"),
    (SpecOption, (Depends("a"), "x"), {}, "argument 'package_name': 'Depends' object cannot be cast as 'str'"),
    (Cmp, (1, 2, 0), {}, "argument 'op': 'int' object cannot be cast as 'CmpType'"),
    (Cmp, ([], 2, 0), {}, "argument 'lhs': cannot convert '<class 'list'>' to Constraint"),
    (Version, (1,), {}, "argument 'ver': 'int' object cannot be cast as 'str'"),
    (Depends, (3,), {}, "argument 'name': 'int' object cannot be cast as 'str'"),
    # A type name without a UTF-8 form (a lone surrogate) is not shown.
    (
        SpecOption,
        (Unnamed(), "x"),
        {},
        "argument 'package_name': '<failed to extract type name>' object cannot be cast as 'str'",
    ),
    (Cmp, (1, 2, Unnamed()), {}, "argument 'op': '<failed to extract type name>' object cannot be cast as 'CmpType'"),
]


# Constructors that succeed: (class, args, kwargs, what the object holds).
CONSTRUCTIONS = [
    (Cmp, (Depends("a"), 2, CmpType.Less), {}, lambda c: (c.lhs.on, c.rhs.value, repr(c.op))),
    (Cmp, (Depends("a"),), {"op": CmpType.Less, "rhs": 2}, lambda c: (c.lhs.on, c.rhs.value, repr(c.op))),
    (Depends, ("d",), {}, lambda d: d.on),
    (IfThen, (1,), {"then": Depends("t")}, lambda i: (i.cond.value, i.then.on)),
    (Maximize, (3,), {}, lambda m: m.item.value),
    (Minimize, (), {"item": 4}, lambda m: m.item.value),
    (NumOf, ([1, Depends("x")],), {}, lambda n: [type(x).__name__ for x in n.of]),
    (SpecOption, ("p", "o"), {}, lambda o: (o.package_name, o.option_name)),
    (Version, ("1.2-rc",), {}, repr),
    (PackageOutline, ("p", [Depends("a")], {"o": 1}, {"d": None}), {}, type),
]


@pytest.mark.parametrize("via", VIA)
@pytest.mark.parametrize(("cls", "args", "kwargs", "read"), CONSTRUCTIONS)
def test_every_entry_constructs_the_same_object(cls, args, kwargs, read, via):
    made = construct(cls, args, kwargs, via)
    assert type(made) is cls
    assert read(made) == read(cls(*args, **kwargs))


@pytest.mark.parametrize("via", VIA)
@pytest.mark.parametrize(("cls", "args", "kwargs", "message"), CONVERSIONS)
def test_argument_conversion_errors(cls, args, kwargs, message, via):
    error = construct_error(cls, args, kwargs, via)
    assert type(error) is TypeError
    assert str(error) == message
    assert error.__cause__ is None


def test_str_subclass_is_accepted():
    s = SpecOption(StrSubclass("p"), StrSubclass("o"))
    assert (type(s.package_name), s.package_name, s.option_name) == (str, "p", "o")


class FailingSequence:
    """A sequence whose iteration raises the given exception (with a cause)."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.error from KeyError("the cause")


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    ("error", "message"),
    [
        (TypeError("boom"), "argument 'of': boom"),
        # The message is str() of the exception, whatever its arguments.
        (TypeError(), "argument 'of': "),
        (TypeError(42), "argument 'of': 42"),
        (TypeError("a", 2), "argument 'of': ('a', 2)"),
        (ValueError("boom"), None),
        (TypeErrorSubclass("boom"), None),
    ],
)
def test_argument_error_wrapping(error, message):
    with pytest.raises(Exception) as info:
        NumOf(FailingSequence(error))
    raised = info.value
    if message is not None:
        # Replaced: prefixed message, the cause of the replaced exception.
        assert type(raised) is TypeError and raised is not error
        assert str(raised) == message
        assert type(raised.__cause__) is KeyError and raised.__cause__ is error.__cause__
    else:
        assert raised is error
        assert str(raised) == "boom"


@pytest.mark.parametrize(
    ("make", "attribute", "read"),
    [
        (lambda: SpecOption("p", "o"), "package_name", str),
        (lambda: SpecOption("p", "o"), "option_name", str),
        (lambda: Cmp(Depends("d"), 2, CmpType.Less), "lhs", lambda lhs: lhs.on),
        (lambda: Cmp(1, 2, CmpType.Less), "op", repr),
        (lambda: value_of(1), "value", repr),
    ],
)
def test_property_delete_is_refused(make, attribute, read):
    obj = make()
    before = read(getattr(obj, attribute))
    with pytest.raises(AttributeError) as info:
        delattr(obj, attribute)
    assert type(info.value) is AttributeError
    assert str(info.value) == "can't delete attribute"
    assert read(getattr(obj, attribute)) == before


def test_setter_refused_while_comparison_borrows(panic_exception):
    # The comparison slot holds a shared borrow while it converts the operand.
    v = value_of(1)
    seen = []

    class Sneaky:
        def __index__(self):
            try:
                v.value = 7
            except RuntimeError as exc:
                seen.append(str(exc))
            return 2

    result = v < Sneaky()
    assert type(result) is Cmp and result.rhs.value == 2
    assert seen == ["Already borrowed"]
    assert v.value == 1


def test_panic_exception_class(panic_exception):
    assert panic_exception.__module__ == "norbe_runtime"
    assert panic_exception.__name__ == "PanicException"
    assert issubclass(panic_exception, BaseException)
    assert not issubclass(panic_exception, Exception)
    assert panic_exception.__doc__

    def swallow():
        try:
            raise panic_exception("x")
        except Exception:
            return "swallowed"

    with pytest.raises(panic_exception):
        swallow()


def panicking(kind, panic_exception):
    """An object whose conversion hook raises the internal-failure exception."""

    class Index:
        def __index__(self):
            raise panic_exception("boom")

    class Float:
        def __float__(self):
            raise panic_exception("boom")

    return {"index": Index, "float": Float}[kind]()


# Entry points that convert a value and would otherwise discard a failure.
PANIC_ENTRIES = {
    "value setter": lambda obj: setattr(value_of(1), "value", obj),
    "set_options": lambda obj: PackageOutline("p", set_options={"o": obj}),
    "set_defaults": lambda obj: PackageOutline("p", set_defaults={"o": obj}),
    "constructor": lambda obj: Maximize(obj),
    "list entry": lambda obj: NumOf([1, obj]),
    "comparison": lambda obj: Depends("a") == obj,
    "reflected comparison": lambda obj: obj < NumOf([]),
}


@pytest.mark.parametrize("kind", ["index", "float"])
@pytest.mark.parametrize("entry", PANIC_ENTRIES)
def test_panic_from_user_code_is_not_swallowed(entry, kind, panic_exception, capfd):
    obj = panicking(kind, panic_exception)
    with pytest.raises(panic_exception) as info:
        PANIC_ENTRIES[entry](obj)
    assert info.value.args == ("boom",)
    assert "boom" in capfd.readouterr().err


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


# Internal-failure exceptions whose message cannot be read back as text.
UNREADABLE_PANICS = {
    "no arguments": lambda panic: panic(),
    "str() raises": lambda panic: panic(Unprintable()),
    "no UTF-8 form": lambda panic: panic("bad\udc80text"),
    "str() is no str": lambda panic: panic(type("Weird", (), {"__str__": lambda self: 42})()),
}


@pytest.mark.parametrize("entry", ["constructor", "list entry", "comparison", "set_options"])
@pytest.mark.parametrize("unreadable", UNREADABLE_PANICS)
def test_resumed_internal_failure_with_an_unreadable_message_goes_on_as_the_same_object(
    entry, unreadable, panic_exception, capfd
):
    raised = UNREADABLE_PANICS[unreadable](panic_exception)

    class Index:
        def __index__(self):
            raise raised

    with pytest.raises(panic_exception) as info:
        PANIC_ENTRIES[entry](Index())
    assert info.value is raised
    err = capfd.readouterr().err
    assert "resuming an internal failure raised from Python code" in err
    assert "<the message cannot be read>" in err


REPORT = re.compile(
    r"norbe: internal failure in thread '(.*)' at src/package/constraint/if_then\.cpp:\d+:\n"
    r"assertion `left == right` failed: norbe::package::constraint::if_then::IfThen is unsendable, "
    r"but sent to another thread\n  left: ThreadId\(\d+\)\n right: ThreadId\(\d+\)\n"
    r"note: run the interpreter under a debugger \(gdb -ex run --args python \.\.\.\) and break on "
    r"__cxa_throw to obtain a stack trace\n"
)


@pytest.mark.parametrize(
    ("python_name", "os_name", "shown"),
    [
        ("worker-7", None, "worker-7"),
        ("wörker-7", None, "wörker-7"),
        # A Python name without a UTF-8 form gives way to the system's name of the thread.
        ("bad\udc80name", b"os-name", "os-name"),
        ("bad\udc80name", b"", "<unnamed>"),
    ],
)
def test_internal_failure_report_names_the_thread(python_name, os_name, shown):
    if os_name is not None and not sys.platform.startswith("linux"):
        pytest.skip("sets the thread's name with prctl")
    code = f"""
        import ctypes, threading
        from norbe.package.constraint import IfThen
        node = IfThen(1, 2)
        os_name = {os_name!r}
        def use():
            if os_name is not None:
                ctypes.CDLL(None).prctl(15, os_name)  # PR_SET_NAME
            try:
                node.cond
            except BaseException as exc:
                print(type(exc).__name__, flush=True)
        worker = threading.Thread(target=use, name={python_name!r})
        worker.start()
        worker.join()
    """
    returncode, out, err = run_python(code)
    assert returncode == 0 and out == b"PanicException\n"
    report = REPORT.fullmatch(err.decode())
    assert report is not None, err
    assert report[1] == shown
