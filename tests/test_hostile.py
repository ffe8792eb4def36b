"""Hostile objects: conversion hooks that raise, return nonsense, raise the
internal-failure exception, change the container being converted, or re-enter
the very object being read or written. Each gives its exception (or a correct
result), changes nothing it should not, keeps no references, and never
swallows the internal-failure exception."""

import sys

import pytest

from conftest import text
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption
from norbe.package.outline import PackageOutline
from norbe.package.version import Version


class Hook:
    """An object whose named hooks run the given functions."""

    def __init__(self, **hooks):
        self.hooks = hooks

    def __index__(self):
        return self.hooks["index"]()

    def __float__(self):
        return self.hooks["float"]()

    def __len__(self):
        return self.hooks["len"]()

    def __iter__(self):
        return self.hooks["iter"]()

    def __getitem__(self, index):
        return self.hooks["getitem"](index)


def interpreter_message(call):
    """The message of the interpreter's own exception from call() (some
    wordings changed in 3.14 and 3.15)."""
    try:
        call()
    except Exception as exc:  # noqa: BLE001
        return str(exc)
    raise AssertionError("no exception")


def raise_(cls, *args):
    """A hook that raises a new cls(*args) (a reused instance would collect tracebacks)."""

    def hook(*ignored):
        raise cls(*args)

    return hook


def only(name, hook):
    """A Hook instance of a class that defines just the one hook."""
    cls = type(f"Only_{name}", (), {f"__{name}__": lambda self, *args: hook(*args)})
    return cls()


def seq(items, **hooks):
    """A sequence with the given items; hooks replace __len__ or __iter__."""
    hooks.setdefault("len", lambda: len(items))
    hooks.setdefault("iter", lambda: iter(items))
    hooks.setdefault("getitem", items.__getitem__)
    return Hook(**hooks)


NO_CONSTRAINT = "cannot convert '<class 'test_hostile.Only_{}'>' to Constraint"

# A constructor argument that is hostile: (id, call, exception or None, message or expected text)
CASES = [
    ("index raises", lambda: Maximize(only("index", raise_(ValueError, "x"))), TypeError,
     "argument 'item': " + NO_CONSTRAINT.format("index")),
    ("index returns str", lambda: Maximize(only("index", lambda: "7")), TypeError,
     "argument 'item': " + NO_CONSTRAINT.format("index")),
    ("index returns huge", lambda: Maximize(only("index", lambda: 10**30)), None,
     "Maximize( 1000000000000000000000000000000 )"),
    ("index returns too huge", lambda: Maximize(only("index", lambda: 10**400)), TypeError,
     "argument 'item': " + NO_CONSTRAINT.format("index")),
    ("float returns str", lambda: Maximize(only("float", lambda: "2.5")), TypeError,
     "argument 'item': " + NO_CONSTRAINT.format("float")),
    ("float returns nan", lambda: Maximize(only("float", lambda: float("nan"))), None, "Maximize( NaN )"),
    ("len raises", lambda: NumOf(seq([1, 2], len=raise_(ValueError, "x"))), None, "NumOf( 1, 2 )"),
    ("len negative", lambda: NumOf(seq([1, 2], len=lambda: -5)), None, "NumOf( 1, 2 )"),
    ("len not int", lambda: NumOf(seq([1, 2], len=lambda: "2")), None, "NumOf( 1, 2 )"),
    ("len huge", lambda: NumOf(seq([1, 2], len=lambda: sys.maxsize)), None, "NumOf( 1, 2 )"),
    ("len lies low", lambda: NumOf(seq([1, 2, 3], len=lambda: 0)), None, "NumOf( 1, 2, 3 )"),
    ("iter raises", lambda: NumOf(seq([], iter=raise_(ValueError, "x"))), ValueError, "x"),
    ("iter raises TypeError", lambda: NumOf(seq([], iter=raise_(TypeError, "x"))), TypeError, "argument 'of': x"),
    ("iter returns non-iterator", lambda: NumOf(seq([], iter=lambda: 5)), TypeError,
     "argument 'of': " + interpreter_message(lambda: iter(Hook(iter=lambda: 5)))),
    ("iteration fails midway", lambda: NumOf(seq([], iter=lambda: (1 if i == 0 else 1 // 0 for i in range(2)))),
     ZeroDivisionError, interpreter_message(lambda: 1 // int("0"))),
    ("outline constraints len raises", lambda: type(PackageOutline("p", seq([1], len=raise_(KeyError)))).__name__,
     None, "PackageOutline"),
]


@pytest.mark.parametrize(("call", "exc", "expected"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hostile_arguments(call, exc, expected):
    for _ in range(3):  # the same answer every time: nothing was left behind
        if exc is None:
            result = call()
            assert (text(result) if not isinstance(result, str) else result) == expected
        else:
            with pytest.raises(exc) as info:
                call()
            assert type(info.value) is exc and str(info.value) == expected


# Every hook that the module calls and whose failure it would otherwise discard.
PANIC_HOOKS = {
    "len": lambda e: NumOf(seq([1], len=raise_(type(e), *e.args))),
    "iter": lambda e: NumOf(seq([1], iter=raise_(type(e), *e.args))),
    "iteration": lambda e: PackageOutline("x", seq([], iter=lambda: (raise_(type(e), *e.args)() for _ in range(1)))),
    "type __module__": lambda e: Depends("a") == metaclass_attribute_raises(e),
    "key __hash__": lambda e: with_keys(PackageOutline, ["extra"], hash_error=e),
    "key __eq__": lambda e: with_keys(PackageOutline, ["a", "b"], eq_error=e),
    "key __str__": lambda e: with_keys(Version, ["k"], str_error=e),
}


def metaclass_attribute_raises(exc):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__module__":
                raise exc
            return super().__getattribute__(name)

    return Meta("Odd", (), {})()


class Key(str):
    """A str subclass whose hash, equality or str fails once armed."""

    hash_error = eq_error = str_error = None

    def __hash__(self):
        if self.hash_error is not None:
            raise self.hash_error
        return 1  # every Key collides, so equality is asked

    def __eq__(self, other):
        if self.eq_error is not None:
            raise self.eq_error
        return str.__eq__(self, other)

    def __str__(self):
        if self.str_error is not None:
            raise self.str_error
        return str.__str__(self)


def with_keys(cls, names, **errors):
    """cls("1", **{Key(name): ...}), the keys armed once the dict exists."""
    keywords = {Key(name): i for i, name in enumerate(names)}
    for key in keywords:
        vars(key).update(errors)
    return cls("1", **keywords)


@pytest.mark.parametrize("hook", PANIC_HOOKS)
def test_internal_failure_from_a_hook_is_never_swallowed(hook, panic_exception):
    with pytest.raises(panic_exception) as info:
        PANIC_HOOKS[hook](panic_exception("boom"))
    assert info.value.args == ("boom",)


@pytest.mark.parametrize(
    ("hook", "outcome"),
    [
        ("len", "NumOf( 1 )"),  # a failing __len__ only loses the size hint
        ("iter", "ValueError: boom"),
        ("iteration", "ValueError: boom"),
        ("type __module__", False),  # not a numpy boolean, so no constraint: identity
        ("key __hash__", "ValueError: boom"),
        ("key __eq__", "ValueError: boom"),
        ("key __str__", "ValueError: boom"),
    ],
)
def test_ordinary_failure_from_a_hook(hook, outcome):
    try:
        result = PANIC_HOOKS[hook](ValueError("boom"))
    except Exception as exc:  # noqa: BLE001
        result = f"{type(exc).__name__}: {exc}"
    assert (text(result) if isinstance(result, NumOf) else result) == outcome


def test_str_subclass_keys_are_taken_by_their_text():
    key = Key("opt")
    options, defaults = {"opt": 1, key: 2}, {key: None}
    key.hash_error = key.eq_error = key.str_error = ValueError("never asked")
    assert type(PackageOutline("p", set_options=options, set_defaults=defaults)) is PackageOutline
    with pytest.raises(ValueError, match="^PyPackageOutline unexpected keyword argument 'k'$"):
        with_keys(PackageOutline, ["k"])


# --------------------------------------------------------------- changing the container


def test_list_changed_while_converted():
    items = [1, None, 3]
    grower = only("index", lambda: (items.append(grower) if len(items) < 6 else None, 2)[1])
    items[1] = grower
    assert text(NumOf(items)) == "NumOf( 1, 2, 3, 2, 2, 2 )"  # the iteration sees the appended items
    items[:] = [1, only("index", lambda: (items.clear(), 2)[1]), 3]
    assert text(NumOf(items)) == "NumOf( 1, 2 )" and items == []


class IterList(list):
    def __iter__(self):
        return iter([Depends("from-iter")])


class IterTuple(tuple):
    def __iter__(self):
        return iter([Depends("from-iter")])


@pytest.mark.parametrize(
    ("items", "expected"),
    [
        ([1, Depends("a")], "NumOf( 1, Depends( a ) )"),
        ((1, Depends("a")), "NumOf( 1, Depends( a ) )"),
        (IterList([1, 2]), "NumOf( Depends( from-iter ) )"),
        (IterTuple([1, 2]), "NumOf( Depends( from-iter ) )"),
    ],
    ids=["list", "tuple", "list-subclass", "tuple-subclass"],
)
def test_sequences_are_read_by_their_iteration(items, expected):
    # A subclass that defines its own iteration is read through it.
    assert text(NumOf(items)) == expected


def test_list_item_replaced_while_converted():
    items = [1, None, Depends("dropped")]
    items[1] = only("index", lambda: (items.__setitem__(2, Depends("kept")), 2)[1])
    hook = items[1]
    before = sys.getrefcount(hook)
    assert text(NumOf(items)) == "NumOf( 1, 2, Depends( kept ) )"
    after = sys.getrefcount(hook)
    assert after == before


# --------------------------------------------------------------- re-entering the object


def test_setter_value_that_writes_the_same_object():
    # The value is converted before the object is borrowed: the inner write
    # happens first and the outer one wins.
    c = Cmp(Depends("old"), 1, CmpType.Less)
    seen = []
    c.lhs = only("index", lambda: (seen.append(text(c.lhs)), setattr(c, "lhs", Depends("inner")), 5)[2])
    assert seen == ["Depends( old )"] and text(c.lhs) == "5"
    n = NumOf([])
    n.of = [1, only("index", lambda: (setattr(n, "of", [Depends("inner")]), 2)[1])]
    assert text(n) == "NumOf( 1, 2 )"


def test_setter_value_that_fails_after_writing_the_same_object():
    i = IfThen(Depends("c"), Depends("t"))

    def hook():
        i.then = Depends("inner")
        raise ValueError("late")

    with pytest.raises(TypeError, match="^argument 'cond': cannot convert"):
        i.cond = only("index", hook)
    assert text(i) == "If( Depends( c ) ) Then [ Depends( inner ) ]"


@pytest.mark.parametrize(
    ("make", "name", "value"),
    [
        (lambda: Cmp(Depends("a"), 1, CmpType.Equal).rhs, "value", 9),
        (lambda: Cmp(Depends("a"), 1, CmpType.Equal), "lhs", 9),
        (lambda: NumOf([1]), "of", []),
        (lambda: SpecOption("a", "b"), "option_name", "x"),
    ],
)
def test_comparison_operand_that_writes_the_receiver(make, name, value):
    # The comparison holds a shared borrow while it converts the operand: a
    # write is refused cleanly; a read and a nested comparison are fine.
    receiver = make()
    before = text(receiver)
    seen = []

    def hook():
        seen.append(text(receiver) == before and text(Maximize(receiver)) == f"Maximize( {before} )")
        try:
            setattr(receiver, name, value)
        except RuntimeError as exc:
            seen.append(str(exc))
        return 2

    try:
        receiver >= only("index", hook)
    except NotImplementedError:
        pass  # an option reference against a number
    assert seen == [True, "Already borrowed"] and text(receiver) == before


def test_if_then_method_with_an_argument_that_writes_the_receiver():
    c = Cmp(Depends("a"), 1, CmpType.Equal)
    result = c.if_then(only("index", lambda: (setattr(c, "op", CmpType.NotEqual), 7)[1]))
    assert text(result) == "If( [ Depends( a ) ] != [ 1 ] ) Then [ 7 ]"


def test_failed_conversions_keep_no_references():
    hooks = [
        only("index", raise_(ValueError, "x")),
        seq([1], iter=raise_(ValueError, "x")),
        seq([None]),
        SpecOption("a", "b"),
    ]

    def use(h):
        for call in (lambda: Maximize(h), lambda: NumOf(h), lambda: Depends("a") == h, lambda: h < NumOf([])):
            try:
                call()
            except (TypeError, ValueError, NotImplementedError):
                pass

    counts = [sys.getrefcount(h) for h in hooks]
    for _ in range(50):
        for hook in hooks:
            use(hook)
    del hook
    after = [sys.getrefcount(h) for h in hooks]
    assert after == counts
