"""Option values (conversion from and to Python, text form) and SpecOption."""

import math
import re
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import traced_lines
from norbe.package.constraint import Cmp, CmpType, Depends, SpecOption, Value
from norbe.package.outline import PackageOutline
from norbe.package.version import Version

REFUSAL = re.compile(
    r"Cannot compare type Some\(Unknown\) from constraint Package 'p' -> Option 'o' "
    r"with type Some\((\w+)\) from constraint (.*) using operator '=='",
    re.S,
)


def stored(x):
    """A Value object holding x, converted by the option-value conversion."""
    v = Cmp(Depends("a"), 0, CmpType.Equal).rhs
    assert type(v) is Value
    v.value = x
    return v


def kind_and_text(v):
    """The kind name and text form of a value, read from a refused comparison."""
    with pytest.raises(NotImplementedError) as info:
        SpecOption("p", "o") == v  # noqa: B015
    match = REFUSAL.fullmatch(str(info.value))
    assert match, str(info.value)
    return match.group(1), match.group(2)


class IntSub(int):
    pass


class StrSub(str):
    pass


class FloatSub(float):
    pass


class FloatWithIndex(float):
    def __index__(self):
        return 3


class StrWithFloat(str):
    def __float__(self):
        return 0.5


class OnlyIndex:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class OnlyFloat:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x


class RaisingIndex:
    def __index__(self):
        raise ValueError("hidden")


class RaisingIndexWithFloat(RaisingIndex):
    def __float__(self):
        return 0.25


class RaisingBoth(RaisingIndex):
    def __float__(self):
        raise ArithmeticError("hidden too")


# object, kind, text form, value read back (compared with type and, for floats, sign)
CONVERSIONS = [
    (True, "Bool", "true", True),
    (False, "Bool", "false", False),
    (1, "Int", "1", 1),
    (0, "Int", "0", 0),
    (-1, "Int", "-1", -1),
    (2**63 - 1, "Int", "9223372036854775807", 2**63 - 1),
    (-(2**63), "Int", "-9223372036854775808", -(2**63)),
    (IntSub(5), "Int", "5", 5),
    (OnlyIndex(7), "Int", "7", 7),
    (OnlyIndex(-1), "Int", "-1", -1),
    (2**63, "Float", "9223372036854776000", 9.223372036854776e18),
    (-(2**63) - 1, "Float", "-9223372036854776000", -9.223372036854776e18),
    (OnlyIndex(2**64), "Float", "18446744073709552000", 1.8446744073709552e19),
    (1.0, "Float", "1", 1.0),
    (-1.0, "Float", "-1", -1.0),
    (-2.5, "Float", "-2.5", -2.5),
    (0.1, "Float", "0.1", 0.1),
    (1e21, "Float", "1000000000000000000000", 1e21),
    (1e-7, "Float", "0.0000001", 1e-7),
    (123.456, "Float", "123.456", 123.456),
    (5e-324, "Float", "0." + "0" * 323 + "5", 5e-324),
    (1.7976931348623157e308, "Float", "17976931348623157" + "0" * 292, 1.7976931348623157e308),
    (float("inf"), "Float", "inf", float("inf")),
    (float("-inf"), "Float", "-inf", float("-inf")),
    (-0.0, "Float", "-0", -0.0),
    (0.0, "Float", "0", 0.0),
    (FloatSub(1.5), "Float", "1.5", 1.5),
    (OnlyFloat(2.5), "Float", "2.5", 2.5),
    (OnlyFloat(-1.0), "Float", "-1", -1.0),
    (RaisingIndexWithFloat(), "Float", "0.25", 0.25),
    (Fraction(1, 2), "Float", "0.5", 0.5),
    (Decimal("2.5"), "Float", "2.5", 2.5),
    ("", "Str", "", ""),
    ("1.2.3", "Str", "1.2.3", "1.2.3"),
    ("true", "Str", "true", "true"),
    ("a ] b\n'x'", "Str", "a ] b\n'x'", "a ] b\n'x'"),
    ("héllo 😀", "Str", "héllo 😀", "héllo 😀"),
    (StrSub("s"), "Str", "s", "s"),
    # Each step is tried before the next, whatever the object's base type.
    (FloatWithIndex(1.5), "Int", "3", 3),
    (StrWithFloat("x"), "Float", "0.5", 0.5),
]


@pytest.mark.parametrize(("obj", "kind", "text", "back"), CONVERSIONS)
def test_conversion(obj, kind, text, back):
    v = stored(obj)
    assert kind_and_text(v) == (kind, text)
    # The same kinds come out of the constraint conversion of a plain object.
    assert kind_and_text(obj) == (kind, text)
    result = v.value
    assert type(result) is type(back)
    assert result == back
    if isinstance(back, float):
        assert math.copysign(1, result) == math.copysign(1, back)


def test_nan():
    v = stored(float("nan"))
    assert kind_and_text(v) == ("Float", "NaN")
    assert math.isnan(v.value)


@pytest.mark.parametrize("text", ["1.2.3", "01.2-rc1"])
def test_version_value(text):
    version = Version(text)
    v = stored(version)
    assert kind_and_text(v) == ("Version", str(version))
    first, second = v.value, v.value
    assert type(first) is Version and first is not version and first is not second
    assert repr(first) == repr(second) == repr(version)


def test_numpy_bool():
    numpy = pytest.importorskip("numpy")
    for flag in (True, False):
        v = stored(numpy.bool_(flag))
        assert kind_and_text(v) == ("Bool", str(flag).lower())
        assert v.value is flag
    assert kind_and_text(stored(numpy.int64(5))) == ("Int", "5")
    assert kind_and_text(stored(numpy.float64(2.5))) == ("Float", "2.5")


def numpy_like(name, **methods):
    """A class that passes for numpy's boolean scalar by its module and name."""
    return type(name, (), {"__module__": "numpy", **methods})()


def raise_error(self):
    raise ValueError("hidden")


@pytest.mark.parametrize(
    ("obj", "kind", "text"),
    [
        (numpy_like("bool_", __bool__=lambda self: True), "Bool", "true"),
        (numpy_like("bool", __bool__=lambda self: False), "Bool", "false"),
        # No truth slot, or a failing one: the later steps decide.
        (numpy_like("bool_", __index__=lambda self: 4), "Int", "4"),
        (numpy_like("bool_", __bool__=raise_error, __float__=lambda self: 0.5), "Float", "0.5"),
        (numpy_like("bool8", __bool__=lambda self: True, __index__=lambda self: 1), "Int", "1"),
    ],
)
def test_numpy_boolean_recognised_by_name(obj, kind, text):
    assert kind_and_text(stored(obj)) == (kind, text)


class Nothing:
    pass


@pytest.mark.parametrize(
    "obj",
    [None, [1], {}, (), b"1", 1j, 10**400, -(10**400), "\ud800", "a\udfffb", RaisingIndex(), RaisingBoth(), Nothing(),
     SpecOption("a", "b"), Depends("a"), Cmp(1, 2, CmpType.Less).rhs, CmpType.Less],
)  # fmt: skip
def test_conversion_failure(obj):
    message = f"cannot cast Python type '{type(obj)}' to SpecOptionValue"
    v = stored(3)
    with pytest.raises(TypeError) as info:
        v.value = obj
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'value': " + message
    assert info.value.__cause__ is None
    assert v.value == 3
    with pytest.raises(TypeError) as info:
        PackageOutline("p", set_options={"o": obj})
    assert str(info.value) == "argument 'set_options': " + message


@pytest.mark.parametrize(
    ("obj", "shown"),
    [
        (None, "<class 'NoneType'>"),
        ([1], "<class 'list'>"),
        ({}, "<class 'dict'>"),
        (SpecOption("a", "b"), "<class 'builtins.SpecOption'>"),
        (10**400, "<class 'int'>"),
        ("\ud800", "<class 'str'>"),
    ],
)
def test_failure_names_the_type(obj, shown):
    with pytest.raises(TypeError, match=re.escape(f"cannot cast Python type '{shown}' to SpecOptionValue")):
        stored(obj)


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_text_round_trip(x):
    kind, text = kind_and_text(stored(x))
    assert kind == "Float"
    assert float(text) == x and math.copysign(1, float(text)) == math.copysign(1, x)
    assert "e" not in text and "E" not in text
    # The shortest digits (as repr finds them) laid out positionally.
    assert text == format(Decimal(repr(x)).normalize(), "f")


def test_failed_conversion_log_events():
    lines = traced_lines(
        """
        from norbe.package.constraint import Cmp, CmpType, Depends
        from norbe.package.outline import PackageOutline
        v = Cmp(Depends("a"), 1, CmpType.Equal).rhs
        def attempt(action):
            try:
                action()
            except TypeError as e:
                print("raised:", e, flush=True)
        for bad in (None, [1], 10**400):
            attempt(lambda: setattr(v, "value", bad))
        PackageOutline("p", set_options={"o": 1.5}, set_defaults={"d": None})
        v.value = "ok"
        attempt(lambda: PackageOutline("p", set_options={"o": None}))
        attempt(lambda: Cmp(Depends("a"), None, CmpType.Equal))
        """
    )
    event = "ERROR norbe::spec::spec_option: "
    expected = []
    for shown in ("<class 'NoneType'>", "<class 'list'>", "<class 'int'>"):
        message = f"cannot cast Python type '{shown}' to SpecOptionValue"
        expected += [event + message, "raised: argument 'value': " + message]
    none = "cannot cast Python type '<class 'NoneType'>' to SpecOptionValue"
    expected += [event + none, "raised: argument 'set_options': " + none]
    constraint = "cannot convert '<class 'NoneType'>' to Constraint"
    expected += ["ERROR norbe::package::constraint: " + constraint, "raised: argument 'rhs': " + constraint]
    assert lines == expected


# SpecOption


def spec_text(package, option):
    return f"Package '{package}' -> Option '{option}'"


@pytest.mark.parametrize(
    ("package", "option"),
    [("pkg", "opt"), ("", ""), ("a'b", "c\nd ] x"), ("пакет", "😀")],
)
def test_spec_option_construction(package, option):
    for s in (SpecOption(package, option), SpecOption(option_name=option, package_name=package)):
        assert (s.package_name, s.option_name) == (package, option)
        with pytest.raises(NotImplementedError) as info:
            s < 3  # noqa: B015
        assert str(info.value) == (
            f"Cannot compare type Some(Unknown) from constraint {spec_text(package, option)} "
            "with type Some(Int) from constraint 3 using operator '<'"
        )


@pytest.mark.parametrize("attribute", ["package_name", "option_name"])
def test_spec_option_properties(attribute):
    s = SpecOption("p", "o")
    old = getattr(s, attribute)
    built = s == SpecOption("q", "r")
    setattr(s, attribute, "x")
    assert getattr(s, attribute) == "x"
    assert getattr(built.lhs, attribute) == old
    for bad, shown in ((None, "NoneType"), (5, "int"), (Version("1"), "Version")):
        with pytest.raises(TypeError) as info:
            setattr(s, attribute, bad)
        assert str(info.value) == f"argument '{attribute}': '{shown}' object cannot be cast as 'str'"
    with pytest.raises(UnicodeEncodeError):
        setattr(s, attribute, "\ud800")
    assert getattr(s, attribute) == "x"


@pytest.mark.parametrize("args", [("\ud800", "o"), ("p", "\udc80")])
def test_spec_option_lone_surrogate(args):
    with pytest.raises(UnicodeEncodeError):
        SpecOption(*args)


OPERATORS = [
    (lambda a, b: a < b, "Less"),
    (lambda a, b: a <= b, "LessOrEqual"),
    (lambda a, b: a == b, "Equal"),
    (lambda a, b: a != b, "NotEqual"),
    (lambda a, b: a > b, "Greater"),
    (lambda a, b: a >= b, "GreaterOrEqual"),
]


@pytest.mark.parametrize(("apply", "op"), OPERATORS, ids=[name for _, name in OPERATORS])
def test_spec_option_comparisons_build_cmp(apply, op):
    a, b = SpecOption("a", "x"), SpecOption("b", "y")
    c = apply(a, b)
    assert type(c) is Cmp
    assert repr(c.op) == "CmpType." + op
    assert (c.lhs.package_name, c.lhs.option_name, c.rhs.package_name, c.rhs.option_name) == ("a", "x", "b", "y")
    assert type(apply(a, a)) is Cmp
    assert (a.package_name, a.option_name) == ("a", "x")


def test_spec_option_against_unconvertible_and_reflected():
    s = SpecOption("a", "x")
    assert (s == object()) is False
    assert (s != object()) is True
    with pytest.raises(TypeError):
        s < object()  # noqa: B015
    # Version defines no comparison, so the option reference answers reflected.
    with pytest.raises(NotImplementedError) as info:
        Version("1") < s  # noqa: B015
    assert str(info.value) == (
        f"Cannot compare type Some(Unknown) from constraint {spec_text('a', 'x')} "
        "with type Some(Version) from constraint 1 using operator '>'"
    )
