"""PackageOutline: argument rules, the failure table, extra keywords, dicts
changed while they are read, and that a failed call creates nothing."""

import sys

import pytest

from conftest import traced_lines
from norbe.package.constraint import Depends, NumOf
from norbe.package.outline import PackageOutline
from norbe.package.version import Version


def via_call(*args, **kwargs):
    return PackageOutline(*args, **kwargs)


def via_new(*args, **kwargs):
    return PackageOutline.__new__(PackageOutline, *args, **kwargs)


PATHS = pytest.mark.parametrize("build", [via_call, via_new], ids=["call", "__new__"])


class Key(str):
    """A str subclass whose instances are distinct dict keys even with equal text."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


ACCEPTED = [
    (("pkg",), {}),
    (("",), {}),
    (("pkg", None, None, None), {}),
    ((), {"name": "pkg", "set_defaults": None, "constraints": None}),
    (("pkg", (), {}, {}), {}),
    (("pkg", b"ab"), {}),
    (("pkg", range(3)), {}),
    (("pkg", [Depends("a"), NumOf([1]) >= 1, (Depends("a") == True).if_then(2), 1.5, "s", Version("1")]), {}),  # noqa: E712
    (("pkg",), {"set_options": {"b": True, "i": -1, "f": 2**63, "s": "", "v": Version("1.0")}}),
    (("pkg",), {"set_defaults": {"opt": None, "other": 1}}),
    (("pkg",), {"set_options": type("D", (dict,), {})(o=1)}),
    (("pkg",), {"set_options": {Key("k"): 1, Key("k"): 2}, "set_defaults": {Key("k"): None, Key("k"): 1}}),
]


@PATHS
@pytest.mark.parametrize(("args", "kwargs"), ACCEPTED)
def test_accepted(build, args, kwargs):
    outline = build(*args, **kwargs)
    assert type(outline) is PackageOutline
    # Nothing can be read back: only the host's defaults exist.
    assert repr(outline) == str(outline) == object.__repr__(outline)
    assert outline == outline and outline != PackageOutline("pkg")
    assert not hasattr(outline, "name")
    assert not [a for a in dir(outline) if not a.startswith("__")]


def keyed(*keys):
    """A dict of the keys in this order, each with a distinct value."""
    return {key: i for i, key in enumerate(keys)}


def text_hashed(key):
    """The key with str's own hash of its text cached in it."""
    str.__hash__(key)
    return key


# Keys of equal text collapse in any order: exact str before or after a
# subclass key, enough of them to grow the table, and maps larger than the
# node pool's size classes.
MAPS = [
    keyed(Key("k"), "k"),
    keyed("k", Key("k"), Key("k")),
    keyed(*["a", "b"], *[Key("k") for _ in range(40)], "k", "c"),
    keyed(*[Key(f"k{i % 7}") for i in range(50)]),
    keyed(*[text_hashed(Key(f"k{i % 3}")) for i in range(9)], *[Key(f"k{i % 3}") for i in range(9)], "k1"),
    keyed(*[f"option{i}" for i in range(200)]),
    keyed(*[f"a-name-longer-than-the-inline-twenty-three-bytes-{i}" for i in range(9)], Key("x" * 40)),
]


@pytest.mark.parametrize("param", ["set_options", "set_defaults"])
@pytest.mark.parametrize("mapping", MAPS)
def test_maps_of_repeated_and_many_keys(param, mapping):
    assert type(PackageOutline("pkg", **{param: mapping})) is PackageOutline


FAILURES = [
    ((), {"set_options": 5}, TypeError, "PackageOutline.__new__() missing 1 required positional argument: 'name'"),
    (("pkg", None), {"foo": 1, "constraints": []}, TypeError,
     "PackageOutline.__new__() got multiple values for argument 'constraints'"),
    ((1,), {}, TypeError, "argument 'name': 'int' object cannot be cast as 'str'"),
    ((None, "bad"), {}, TypeError, "argument 'name': 'NoneType' object cannot be cast as 'str'"),
    (("\ud800",), {}, UnicodeEncodeError, None),
    (("pkg", "abc"), {}, TypeError, "argument 'constraints': Can't extract `str` to `Vec`"),
    (("pkg", 5), {}, TypeError, "argument 'constraints': 'int' object cannot be cast as 'Sequence'"),
    (("pkg", {1}), {}, TypeError, "argument 'constraints': 'set' object cannot be cast as 'Sequence'"),
    (("pkg", {"a": 1}), {}, TypeError, "argument 'constraints': 'dict' object cannot be cast as 'Sequence'"),
    (("pkg", (x for x in [])), {}, TypeError, "argument 'constraints': 'generator' object cannot be cast as 'Sequence'"),
    (("pkg", [1, None, []]), {}, TypeError, "argument 'constraints': cannot convert '<class 'NoneType'>' to Constraint"),
    (("pkg",), {"set_options": [("opt", 1)]}, TypeError, "argument 'set_options': 'list' object cannot be cast as 'dict'"),
    (("pkg",), {"set_options": {1: True}}, TypeError, "argument 'set_options': 'int' object cannot be cast as 'str'"),
    (("pkg",), {"set_options": {"ok": 1, "opt": None}}, TypeError,
     "argument 'set_options': cannot cast Python type '<class 'NoneType'>' to SpecOptionValue"),
    (("pkg",), {"set_options": {"opt": Depends("a")}}, TypeError,
     "argument 'set_options': cannot cast Python type '<class 'builtins.Depends'>' to SpecOptionValue"),
    (("pkg",), {"set_options": {"\ud800": 1}}, UnicodeEncodeError, None),
    (("pkg",), {"set_options": {Key("k"): 1, Key("k"): None}}, TypeError,
     "argument 'set_options': cannot cast Python type '<class 'NoneType'>' to SpecOptionValue"),
    (("pkg",), {"set_defaults": 5}, TypeError, "argument 'set_defaults': 'int' object cannot be cast as 'dict'"),
    (("pkg",), {"set_defaults": {b"k": None}}, TypeError, "argument 'set_defaults': 'bytes' object cannot be cast as 'str'"),
    (("pkg",), {"set_defaults": {"opt": [1]}}, TypeError,
     "argument 'set_defaults': cannot cast Python type '<class 'list'>' to SpecOptionValue"),
    (("pkg",), {"foo": 1}, ValueError, "PyPackageOutline unexpected keyword argument 'foo'"),
    (("pkg",), {"foo": 1, "bar": 2}, ValueError, "PyPackageOutline unexpected keyword argument 'foo'"),
    (("pkg",), {"bar": 2, "foo": 1}, ValueError, "PyPackageOutline unexpected keyword argument 'bar'"),
    (("pkg",), {"\ud800": 1}, ValueError, "PyPackageOutline unexpected keyword argument '\ud800'"),
    (("pkg",), {"\u00e9": 1}, ValueError, "PyPackageOutline unexpected keyword argument '\u00e9'"),
    # The arguments are converted in order, and before the extra keywords are looked at.
    ((1, "abc"), {"set_options": 5, "foo": 1}, TypeError, "argument 'name': 'int' object cannot be cast as 'str'"),
    (("pkg", "abc"), {"set_options": 5}, TypeError, "argument 'constraints': Can't extract `str` to `Vec`"),
    (("pkg",), {"set_options": 5, "set_defaults": 5}, TypeError,
     "argument 'set_options': 'int' object cannot be cast as 'dict'"),
    (("pkg",), {"set_options": 5, "foo": 1}, TypeError, "argument 'set_options': 'int' object cannot be cast as 'dict'"),
]


@PATHS
@pytest.mark.parametrize(("args", "kwargs", "exc", "message"), FAILURES)
def test_failures(build, args, kwargs, exc, message):
    with pytest.raises(BaseException) as info:
        build(*args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_extra_keyword_logging():
    lines = traced_lines(
        """
        from norbe.package.outline import PackageOutline
        for kwargs in ({"foo": 1, "bar": 2}, {"set_options": 5, "foo": 1}, {"set_defaults": {"o": [1]}, "baz": 1}):
            try:
                PackageOutline("pkg", **kwargs)
            except (TypeError, ValueError):
                pass
        """
    )
    assert lines == [
        "ERROR norbe::package::outline: PyPackageOutline unexpected keyword argument 'foo'",
        "ERROR norbe::spec::spec_option: cannot cast Python type '<class 'list'>' to SpecOptionValue",
    ]


def changed_dict(mode):
    """A dict whose first value, when converted (through __index__), changes the dict."""
    d = {}
    change = {
        "add": lambda: d.update(new=1),
        "remove": lambda: d.pop("b"),
        "swap": lambda: (d.pop("a"), d.update(c=3)),  # same size, an extra key to read
        "swap unread": lambda: (d.pop("b"), d.update(c=3)),  # same size, no more entries than at the start
        "replace value": lambda: d.update(b=9),
    }[mode]
    d["a"] = type("Mutator", (), {"__index__": lambda self: (change(), 1)[1]})()
    d["b"] = 2
    return d


@PATHS
@pytest.mark.parametrize("param", ["set_options", "set_defaults"])
@pytest.mark.parametrize(
    ("mode", "message"),
    [
        ("add", "dictionary changed size during iteration"),
        ("remove", "dictionary changed size during iteration"),
        ("swap", "dictionary keys changed during iteration"),
        ("swap unread", None),
        ("replace value", None),
    ],
)
def test_dict_changed_during_conversion(build, param, mode, message, panic_exception, capfd):
    d = changed_dict(mode)
    if message is None:
        assert type(build("pkg", **{param: d})) is PackageOutline
        return
    with pytest.raises(panic_exception) as info:
        build("pkg", **{param: d})
    assert info.value.args == (message,)
    assert message in capfd.readouterr().err


def test_failed_construction_keeps_no_references():
    name, item, key, value = "".join(["p", "kg"]), Depends("a"), "".join(["o", "pt"]), 10**30
    constraints, options = [item, 1], {key: value}
    arguments = (name, item, key, value, constraints, options, PackageOutline)
    counts = [sys.getrefcount(a) for a in arguments]
    calls = [
        lambda: PackageOutline(name, constraints, options, {key: None}),  # succeeds, keeps nothing
        lambda: PackageOutline(name, constraints, options, {key: [1]}),
        lambda: PackageOutline(name, constraints, {key: None}),
        lambda: PackageOutline(name, [item, None]),
        lambda: PackageOutline(name, constraints, options, foo=1),
        lambda: PackageOutline.__new__(PackageOutline, name, constraints, options, {key: value}, foo=1),
    ]
    for call in calls:
        try:
            call()
        except (TypeError, ValueError):
            pass
    assert [sys.getrefcount(a) for a in arguments] == counts
    assert (constraints, options, item.on) == ([item, 1], {key: value}, "a")

