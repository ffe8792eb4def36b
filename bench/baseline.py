"""The same vocabulary written in plain Python: what a user would write without norbe.

Plain classes with ``__slots__`` and operator methods that check and copy what
norbe checks and copies:

- every constraint stored in a slot is a private deep copy, and every read hands
  out a new deep copy (so later changes on either side never meet);
- option values are converted in the same order (bool, int within 64 bits,
  float, str, Version) and a Version value is copied on store and on read;
- the comparison operators convert the other operand, copy the receiver, apply
  the same type rule and refuse with the same message text;
- ``PackageOutline`` checks and converts its name, its constraint sequence and
  its two option dicts, and refuses extra keywords.

Strings are immutable in Python, so holding the same ``str`` object is already
a copy; a user would not duplicate them. Logging, borrow counting and the
exact argument-matching messages of the interpreter are left out: a user gets
the interpreter's own messages for those.
"""

import _thread
import math
import operator
import re

__all__ = [
    "Cmp",
    "CmpType",
    "Depends",
    "IfThen",
    "Maximize",
    "Minimize",
    "NumOf",
    "PackageOutline",
    "SpecOption",
    "Value",
    "Version",
]

_INT_MIN = -(2**63)
_INT_MAX = 2**63 - 1
_UINT_MAX = 2**64 - 1
_INF = float("inf")


def _qualname(value):
    return type(value).__qualname__


def _cast_error(name, value, expected):
    return TypeError(f"argument '{name}': '{_qualname(value)}' object cannot be cast as '{expected}'")


# Versions

_VER_INT, _VER_STR, _VER_WILD, _VER_SEP = range(4)
_SPLIT = re.compile(r"([.+-])").split
_ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def _quoted(text):
    out = []
    for ch in text:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif not ch.isprintable():
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def _parse_part(text, rest):
    if rest:
        raise ValueError("PartAfterRest")
    if text == "*":
        return (_VER_WILD, "*")
    if text == ">":
        return (_VER_WILD, ">")
    if text.isascii():
        if text.isdigit():
            number = int(text)
            if number <= _UINT_MAX:
                return (_VER_INT, number)
        if not text:
            raise ValueError("EmptyPart")
        if text.isalnum():
            return (_VER_STR, text)
    raise ValueError(f"InvalidPart({_quoted(text)})")


def parse_version(text):
    """The entries of a version text, or ValueError with the fault's name."""
    pieces = _SPLIT(text)
    parts = []
    rest = False
    last = len(pieces) - 1
    for i in range(0, last, 2):
        entry = _parse_part(pieces[i], rest)
        rest = entry[1] == ">" and entry[0] == _VER_WILD
        parts.append(entry)
        parts.append((_VER_SEP, pieces[i + 1]))
    if not pieces[last]:
        raise ValueError("TrailingSeparator")
    parts.append(_parse_part(pieces[last], rest))
    return tuple(parts)


class Version:
    __slots__ = ("_parts",)

    def __init__(self, ver):
        if not isinstance(ver, str):
            raise _cast_error("ver", ver, "str")
        self._parts = parse_version(ver)

    def _copy(self):
        # The entries are immutable tuples: a new object over them is a full copy.
        new = object.__new__(Version)
        new._parts = self._parts
        return new

    def __str__(self):
        return "".join(str(value) for _, value in self._parts)

    def __repr__(self):
        names = {_VER_INT: "Int({})", _VER_STR: "Str({})", _VER_WILD: "Wildcard({})", _VER_SEP: "Sep('{}')"}
        shown = []
        for kind, value in self._parts:
            if kind == _VER_STR:
                value = _quoted(value)
            elif kind == _VER_WILD:
                value = "Single" if value == "*" else "Rest"
            shown.append(names[kind].format(value))
        return "Version { parts: [" + ", ".join(shown) + "] }"


# Option values: bool, int (64-bit), float, str or a Version copy.

_FAIL = object()


def _is_numpy_bool(value):
    cls = type(value)
    return getattr(cls, "__module__", None) == "numpy" and getattr(cls, "__name__", None) in ("bool_", "bool")


def option_value(value):
    """The stored form of an option value, or _FAIL."""
    cls = type(value)
    if cls is bool:
        return value
    if cls is int:
        if _INT_MIN <= value <= _INT_MAX:
            return value
        try:
            return float(value)
        except OverflowError:
            return _FAIL
    if cls is float:
        return value
    if cls is str:
        return value
    if cls is Version:
        return value._copy()
    # Objects of any other type: every step may run user code.
    if _is_numpy_bool(value):
        try:
            return bool(value)
        except Exception:
            pass
    try:
        number = operator.index(value)
        if _INT_MIN <= number <= _INT_MAX:
            return int(number)
    except Exception:
        pass
    if not isinstance(value, str):
        try:
            return float(value)
        except Exception:
            pass
    if isinstance(value, str):
        try:
            value.encode()
            return str(value)
        except UnicodeEncodeError:
            pass
    if isinstance(value, Version):
        return value._copy()
    return _FAIL


def _option_value_or_raise(value, name):
    converted = option_value(value)
    if converted is _FAIL:
        raise TypeError(f"argument '{name}': cannot cast Python type '{type(value)}' to SpecOptionValue")
    return converted


def _read_option_value(value):
    return value._copy() if type(value) is Version else value


def _float_text(value):
    if value != value:
        return "NaN"
    if value in (_INF, -_INF):
        return "inf" if value > 0 else "-inf"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    mantissa, _, exponent = repr(abs(value)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = whole + fraction
    point = len(whole) + int(exponent or 0)
    while len(digits) > 1 and digits[0] == "0":
        digits = digits[1:]
        point -= 1
    digits = digits.rstrip("0")
    if not digits:
        return sign + "0"
    if point <= 0:
        return sign + "0." + "0" * -point + digits
    if point >= len(digits):
        return sign + digits + "0" * (point - len(digits))
    return sign + digits[:point] + "." + digits[point:]


def _option_text(value):
    cls = type(value)
    if cls is bool:
        return "true" if value else "false"
    if cls is float:
        return _float_text(value)
    return str(value)


_OPTION_TYPES = {bool: "Bool", int: "Int", float: "Float", str: "Str", Version: "Version"}


# Constraints


class CmpType:
    __slots__ = ("_value",)
    _NAMES = ("Less", "LessOrEqual", "NotEqual", "Equal", "GreaterOrEqual", "Greater")
    _SYMBOLS = ("<", "<=", "!=", "==", ">=", ">")

    def __repr__(self):
        return "CmpType." + CmpType._NAMES[self._value]

    def __int__(self):
        return self._value


def _cmp_type(value):
    member = object.__new__(CmpType)
    member._value = value
    return member


for _value, _name in enumerate(CmpType._NAMES):
    setattr(CmpType, _name, _cmp_type(_value))
_LESS, _LESS_EQUAL, _NOT_EQUAL, _EQUAL, _GREATER_EQUAL, _GREATER = range(6)


class _Constraint:
    """The comparison operators shared by every constraint class."""

    __slots__ = ()
    _VALUE_TYPE = None  # the comparison type; None: cannot be compared

    def _value_type(self):
        return self._VALUE_TYPE

    def __lt__(self, other):
        return _compare(self, other, _LESS)

    def __le__(self, other):
        return _compare(self, other, _LESS_EQUAL)

    def __eq__(self, other):
        return _compare(self, other, _EQUAL)

    def __ne__(self, other):
        return _compare(self, other, _NOT_EQUAL)

    def __gt__(self, other):
        return _compare(self, other, _GREATER)

    def __ge__(self, other):
        return _compare(self, other, _GREATER_EQUAL)

    __hash__ = None


def _compare(receiver, other, op):
    rhs = try_constraint(other)
    if rhs is None:
        return NotImplemented
    return build_cmp(receiver._copy(), rhs, op)


def _type_text(value_type):
    return "None" if value_type is None else f"Some({value_type})"


def build_cmp(lhs, rhs, op):
    """A new Cmp over the two (owned) constraints, or NotImplementedError."""
    left = lhs._value_type()
    right = rhs._value_type()
    if left is not None and left == right and (left != "Bool" or op == _EQUAL or op == _NOT_EQUAL):
        return _make_cmp(lhs, rhs, op)
    raise NotImplementedError(
        f"Cannot compare type {_type_text(left)} from constraint {lhs._text()} with type "
        f"{_type_text(right)} from constraint {rhs._text()} using operator '{CmpType._SYMBOLS[op]}'"
    )


def _make_cmp(lhs, rhs, op):
    new = object.__new__(Cmp)
    new._lhs = lhs
    new._rhs = rhs
    new._op = op
    return new


def try_constraint(value):
    """A private copy of a constraint object, a constant wrapped as Value, or None."""
    copy = _COPIERS.get(type(value))
    if copy is not None:
        return copy(value)
    converted = option_value(value)
    if converted is _FAIL:
        return None
    new = object.__new__(Value)
    new._value = converted
    return new


def constraint_argument(value, name):
    converted = try_constraint(value)
    if converted is None:
        raise TypeError(f"argument '{name}': cannot convert '{type(value)}' to Constraint")
    return converted


def constraint_list(value, name):
    if isinstance(value, str):
        raise TypeError(f"argument '{name}': Can't extract `str` to `Vec`")
    cls = type(value)
    if cls is not list and cls is not tuple and (isinstance(value, dict) or not hasattr(cls, "__getitem__")):
        raise _cast_error(name, value, "Sequence")
    out = []
    for item in value:
        converted = try_constraint(item)
        if converted is None:
            raise TypeError(f"argument '{name}': cannot convert '{type(item)}' to Constraint")
        out.append(converted)
    return out


def _cmp_type_argument(value, name):
    if type(value) is not CmpType:
        raise _cast_error(name, value, "CmpType")
    return value._value


def _str_argument(value, name):
    if not isinstance(value, str):
        raise _cast_error(name, value, "str")
    return value


class Cmp(_Constraint):
    __slots__ = ("_lhs", "_rhs", "_op")
    _VALUE_TYPE = "Bool"

    def __init__(self, lhs, rhs, op):
        self._lhs = constraint_argument(lhs, "lhs")
        self._rhs = constraint_argument(rhs, "rhs")
        self._op = _cmp_type_argument(op, "op")

    def _copy(self):
        return _make_cmp(self._lhs._copy(), self._rhs._copy(), self._op)

    def _text(self):
        return f"[ {self._lhs._text()} ] {CmpType._SYMBOLS[self._op]} [ {self._rhs._text()} ]"

    @property
    def lhs(self):
        return self._lhs._copy()

    @lhs.setter
    def lhs(self, value):
        self._lhs = constraint_argument(value, "lhs")

    @property
    def rhs(self):
        return self._rhs._copy()

    @rhs.setter
    def rhs(self, value):
        self._rhs = constraint_argument(value, "rhs")

    @property
    def op(self):
        return _cmp_type(self._op)

    @op.setter
    def op(self, value):
        self._op = _cmp_type_argument(value, "op")

    def if_then(self, then):
        return _make_if_then(self._copy(), constraint_argument(then, "then"))


class Depends(_Constraint):
    __slots__ = ("_on",)
    _VALUE_TYPE = "Bool"

    def __init__(self, name):
        self._on = _str_argument(name, "name")

    def _copy(self):
        new = object.__new__(Depends)
        new._on = self._on
        return new

    def _text(self):
        return f"Depends( {self._on} )"

    @property
    def on(self):
        return self._on

    @on.setter
    def on(self, value):
        self._on = _str_argument(value, "on")


class IfThen(_Constraint):
    """Bound to the thread that created it, like norbe's."""

    __slots__ = ("_cond", "_then", "_owner")

    def __init__(self, cond, then):
        self._cond = constraint_argument(cond, "cond")
        self._then = constraint_argument(then, "then")
        self._owner = _thread.get_ident()

    def _check(self):
        if _thread.get_ident() != self._owner:
            raise RuntimeError("IfThen is unsendable, but sent to another thread")

    def _copy(self):
        self._check()
        return _make_if_then(self._cond._copy(), self._then._copy())

    def _text(self):
        return f"If( {self._cond._text()} ) Then [ {self._then._text()} ]"

    @property
    def cond(self):
        self._check()
        return self._cond._copy()

    @cond.setter
    def cond(self, value):
        converted = constraint_argument(value, "cond")
        self._check()
        self._cond = converted

    @property
    def then(self):
        self._check()
        return self._then._copy()

    @then.setter
    def then(self, value):
        converted = constraint_argument(value, "then")
        self._check()
        self._then = converted


def _make_if_then(cond, then):
    new = object.__new__(IfThen)
    new._cond = cond
    new._then = then
    new._owner = _thread.get_ident()
    return new


class _Goal(_Constraint):
    __slots__ = ("_item",)

    def __init__(self, item):
        self._item = constraint_argument(item, "item")

    def _copy(self):
        new = object.__new__(type(self))
        new._item = self._item._copy()
        return new

    def _text(self):
        return f"{type(self).__name__}( {self._item._text()} )"

    @property
    def item(self):
        return self._item._copy()

    @item.setter
    def item(self, value):
        self._item = constraint_argument(value, "item")


class Maximize(_Goal):
    __slots__ = ()


class Minimize(_Goal):
    __slots__ = ()


class NumOf(_Constraint):
    __slots__ = ("_of",)
    _VALUE_TYPE = "Int"

    def __init__(self, of):
        self._of = constraint_list(of, "of")

    def _copy(self):
        new = object.__new__(NumOf)
        new._of = [item._copy() for item in self._of]
        return new

    def _text(self):
        return "NumOf( " + ", ".join(item._text() for item in self._of) + " )"

    @property
    def of(self):
        return [item._copy() for item in self._of]

    @of.setter
    def of(self, value):
        self._of = constraint_list(value, "of")


class SpecOption(_Constraint):
    __slots__ = ("_package_name", "_option_name")
    _VALUE_TYPE = "Unknown"

    def __init__(self, package_name, option_name):
        self._package_name = _str_argument(package_name, "package_name")
        self._option_name = _str_argument(option_name, "option_name")

    def _copy(self):
        new = object.__new__(SpecOption)
        new._package_name = self._package_name
        new._option_name = self._option_name
        return new

    def _text(self):
        return f"Package '{self._package_name}' -> Option '{self._option_name}'"

    @property
    def package_name(self):
        return self._package_name

    @package_name.setter
    def package_name(self, value):
        self._package_name = _str_argument(value, "package_name")

    @property
    def option_name(self):
        return self._option_name

    @option_name.setter
    def option_name(self, value):
        self._option_name = _str_argument(value, "option_name")


class Value(_Constraint):
    """A constant; made by the conversions only, never by the user."""

    __slots__ = ("_value",)

    def __init__(self, *args, **kwargs):
        raise TypeError("cannot create 'Value' instances")

    def _value_type(self):
        return _OPTION_TYPES[type(self._value)]

    def _copy(self):
        new = object.__new__(Value)
        new._value = _read_option_value(self._value)
        return new

    def _text(self):
        return _option_text(self._value)

    @property
    def value(self):
        return _read_option_value(self._value)

    @value.setter
    def value(self, value):
        self._value = _option_value_or_raise(value, "value")


_COPIERS = {
    Cmp: Cmp._copy,
    Depends: Depends._copy,
    IfThen: IfThen._copy,
    Maximize: Maximize._copy,
    Minimize: Minimize._copy,
    NumOf: NumOf._copy,
    SpecOption: SpecOption._copy,
    Value: Value._copy,
}


# Package outlines


def _option_map(value, name, optional):
    if not isinstance(value, dict):
        raise _cast_error(name, value, "dict")
    out = {}
    for key, item in value.items():
        if not isinstance(key, str):
            raise _cast_error(name, key, "str")
        out[key] = None if optional and item is None else _option_value_or_raise(item, name)
    return out


class PackageOutline:
    __slots__ = ("_name", "_constraints", "_set_options", "_set_defaults")

    def __init__(self, name, constraints=None, set_options=None, set_defaults=None, **kwargs):
        self._name = _str_argument(name, "name")
        self._constraints = [] if constraints is None else constraint_list(constraints, "constraints")
        self._set_options = {} if set_options is None else _option_map(set_options, "set_options", False)
        self._set_defaults = {} if set_defaults is None else _option_map(set_defaults, "set_defaults", True)
        if kwargs:
            raise ValueError(f"PyPackageOutline unexpected keyword argument '{next(iter(kwargs))}'")
