"""A Python-level fuzzer: random programs of constructors, property writes,
comparisons, if_then and outlines, with random and hostile arguments, checked
step by step against a small model of the constraint language.

The normal run tries a few dozen programs; .ci/fuzz.sh runs it for a bounded
time with NORBE_STATEFUL_EXAMPLES set higher."""

import math
import operator
import os
from decimal import Decimal

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, multiple, rule

from conftest import _capture_panic_type
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption
from norbe.package.outline import PackageOutline
from norbe.package.version import Version

PANIC = _capture_panic_type()
PREFIX = "Cannot compare type None from constraint Maximize( "
SUFFIX = " ) with type Some(Int) from constraint 0 using operator '=='"
SYMBOLS = {"Less": "<", "LessOrEqual": "<=", "NotEqual": "!=", "Equal": "==", "GreaterOrEqual": ">=", "Greater": ">"}
OPERATORS = {"<": "Less", "<=": "LessOrEqual", "==": "Equal", "!=": "NotEqual", ">": "Greater", ">=": "GreaterOrEqual"}
REFLECTED = {"<": ">", "<=": ">=", "==": "==", "!=": "!=", ">": "<", ">=": "<="}
CALLS = {"<": operator.lt, "<=": operator.le, "==": operator.eq, "!=": operator.ne, ">": operator.gt, ">=": operator.ge}
TYPES = {"Bool": bool, "Int": int, "Float": float, "Str": str, "Version": Version}
LONGEST = 4000  # longer texts are not built: nesting would grow them without bound
NOTHING = multiple()


def text(obj):
    try:
        Maximize(obj) == 0
    except NotImplementedError as exc:
        return str(exc)[len(PREFIX) : -len(SUFFIX)]


# --------------------------------------------------------------- hostile operands


class IndexSeven:
    def __index__(self):
        return 7


class IndexRaises:
    def __index__(self):
        raise ValueError("no")


class FloatHalf:
    def __float__(self):
        return 0.5


class Panicking:
    def __index__(self):
        raise PANIC("boom")


class Failure(Exception):
    """The model's verdict: the conversion fails (with PanicException if `panic`)."""

    def __init__(self, obj, panic=False):
        super().__init__(obj)
        self.obj, self.panic = obj, panic


# --------------------------------------------------------------- the model
# A constraint is a tuple: ("Cmp", lhs, rhs, op), ("Depends", on), ("IfThen", cond, then),
# ("Maximize", item), ("Minimize", item), ("NumOf", items), ("SpecOption", package, option)
# or ("Value", kind, value).


def float_text(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    digits = format(Decimal(repr(x)), "f")
    return digits.rstrip("0").rstrip(".") if "." in digits else digits


def encodable(s):
    try:
        s.encode()
        return True
    except UnicodeEncodeError:
        return False


def option_value(obj):
    """The model of an option value, or Failure."""
    if type(obj) is bool or isinstance(obj, np.bool_):
        return ("Bool", bool(obj))
    if isinstance(obj, Panicking):
        raise Failure(obj, panic=True)
    if isinstance(obj, (int, IndexSeven)):
        i = int(obj.__index__())
        if -(2**63) <= i < 2**63:
            return ("Int", i)
        try:
            return ("Float", float(i))
        except OverflowError:
            raise Failure(obj) from None
    if isinstance(obj, (float, FloatHalf)):
        return ("Float", float(obj))
    if isinstance(obj, str) and encodable(obj):
        return ("Str", obj)
    if isinstance(obj, Version):
        return ("Version", str(obj))
    raise Failure(obj)


def value_text(kind, value):
    if kind == "Bool":
        return "true" if value else "false"
    return float_text(value) if kind == "Float" else str(value)


class Machine(RuleBasedStateMachine):
    objects = Bundle("objects")

    def __init__(self):
        super().__init__()
        self.models = {}  # id(obj) -> (obj, model)
        self.texts = {}  # id(model) -> (model, text)

    # ------------------------------------------------ model helpers

    def constraint(self, obj):
        if id(obj) in self.models and self.models[id(obj)][0] is obj:
            return self.models[id(obj)][1]
        return ("Value", *option_value(obj))

    def text_of(self, m):
        if id(m) not in self.texts:
            self.texts[id(m)] = (m, self.make_text(m))
        return self.texts[id(m)][1]

    def make_text(self, m):
        kind = m[0]
        if kind == "Cmp":
            return f"[ {self.text_of(m[1])} ] {SYMBOLS[m[3]]} [ {self.text_of(m[2])} ]"
        if kind == "Depends":
            return f"Depends( {m[1]} )"
        if kind == "IfThen":
            return f"If( {self.text_of(m[1])} ) Then [ {self.text_of(m[2])} ]"
        if kind in ("Maximize", "Minimize"):
            return f"{kind}( {self.text_of(m[1])} )"
        if kind == "NumOf":
            return "NumOf( " + ", ".join(self.text_of(e) for e in m[1]) + " )"
        if kind == "SpecOption":
            return f"Package '{m[1]}' -> Option '{m[2]}'"
        return value_text(m[1], m[2])

    @staticmethod
    def type_of(m):
        return {"Cmp": "Bool", "Depends": "Bool", "NumOf": "Int", "SpecOption": "Unknown", "Value": m[1]}.get(m[0])

    def track(self, obj, model):
        assert text(obj) == self.text_of(model)
        self.models[id(obj)] = (obj, model)
        return obj

    def too_long(self, model):
        return len(self.text_of(model)) > LONGEST

    def expect(self, call, model_of):
        """Runs call(); model_of() predicts its model or raises Failure. Returns
        the object or None; checks the exception when the model says failure."""
        try:
            model = model_of()
        except Failure as failure:
            try:
                call()
            except PANIC as exc:
                assert failure.panic and exc.args == ("boom",)
                return None
            except (TypeError, ValueError, UnicodeEncodeError) as exc:
                assert not failure.panic
                return exc
            raise AssertionError("no failure")
        return model, call()

    # ------------------------------------------------ operands

    names = st.one_of(st.text(st.characters(codec="utf-8"), max_size=6), st.just("\ud800"))
    constants = st.one_of(
        st.booleans(),
        st.integers(-(2**64), 2**64) | st.sampled_from([2**63, -(2**63) - 1, 10**400]),
        st.floats(),
        st.text(max_size=5),
        st.sampled_from(["1.2-rc1", "*", "1.>", "007"]).map(Version),
        st.sampled_from([IndexSeven, IndexRaises, FloatHalf, Panicking, object, list, dict, type(None)]).map(
            lambda cls: cls()
        ),
        st.just(np.bool_(True)),
    )

    # ------------------------------------------------ rules

    @initialize(target=objects)
    def seed(self):
        return multiple(
            self.track(Depends("a"), ("Depends", "a")),
            self.track(SpecOption("p", "o"), ("SpecOption", "p", "o")),
            self.track(NumOf([1, 2.5]), ("NumOf", (("Value", "Int", 1), ("Value", "Float", 2.5)))),
        )

    @rule(target=objects, package=names, option=names, depends=st.booleans())
    def leaf(self, package, option, depends):
        call = (lambda: Depends(package)) if depends else (lambda: SpecOption(package, option))
        if not encodable(package) or not (depends or encodable(option)):
            try:
                call()
            except UnicodeEncodeError:
                return NOTHING
            raise AssertionError("no UnicodeEncodeError")
        return self.track(call(), ("Depends", package) if depends else ("SpecOption", package, option))

    @rule(target=objects, kind=st.sampled_from(["Cmp", "IfThen", "Maximize", "Minimize", "NumOf"]),
          a=objects, b=objects, constant=constants, which=st.integers(0, 3), op=st.sampled_from(list(SYMBOLS)))
    def compound(self, kind, a, b, constant, which, op):
        a, b = [a, constant, a, b][which], [b, b, constant, a][which]
        build = {
            "Cmp": (lambda: Cmp(a, b, getattr(CmpType, op)), lambda: ("Cmp", self.constraint(a), self.constraint(b), op)),
            "IfThen": (lambda: IfThen(a, b), lambda: ("IfThen", self.constraint(a), self.constraint(b))),
            "Maximize": (lambda: Maximize(a), lambda: ("Maximize", self.constraint(a))),
            "Minimize": (lambda: Minimize(a), lambda: ("Minimize", self.constraint(a))),
            "NumOf": (lambda: NumOf([a, b, a]), lambda: ("NumOf", tuple(self.constraint(x) for x in (a, b, a)))),
        }[kind]
        call, model_of = build
        try:
            if self.too_long(model_of()):
                return NOTHING
        except Failure:
            pass
        outcome = self.expect(call, model_of)
        if isinstance(outcome, tuple):
            return self.track(outcome[1], outcome[0])
        if outcome is not None:
            assert type(outcome) is TypeError and str(outcome).endswith(" to Constraint"), outcome
        return NOTHING

    @rule(target=objects, a=objects, b=objects, constant=constants, which=st.integers(0, 2),
          symbol=st.sampled_from(list(OPERATORS)))
    def compare(self, a, b, constant, which, symbol):
        left, right = [(a, b), (a, constant), (constant, a)][which]
        if isinstance(left, np.bool_):
            return NOTHING  # numpy would answer with an array comparison of its own
        call = lambda: CALLS[symbol](left, right)  # noqa: E731
        receiver, operand, op = (left, right, symbol) if which < 2 else (right, left, REFLECTED[symbol])
        try:
            lhs, rhs = self.constraint(receiver), self.constraint(operand)
        except Failure as failure:
            if failure.panic:
                try:
                    call()
                except PANIC:
                    return NOTHING
                raise AssertionError("no PanicException") from None
            # Not a constraint: the interpreter's own fallback answers.
            if symbol in ("==", "!="):
                assert call() is (symbol == "!=")
            else:
                try:
                    call()
                except TypeError:
                    return NOTHING
                raise AssertionError("no TypeError") from None
            return NOTHING
        lt, rt, name = self.type_of(lhs), self.type_of(rhs), OPERATORS[op]
        if self.too_long(("Cmp", lhs, rhs, name)):
            return NOTHING
        if lt is not None and lt == rt and (lt != "Bool" or name in ("Equal", "NotEqual")):
            return self.track(call(), ("Cmp", lhs, rhs, name))
        some = lambda t: "None" if t is None else f"Some({t})"  # noqa: E731
        message = (
            f"Cannot compare type {some(lt)} from constraint {self.text_of(lhs)} with type {some(rt)} "
            f"from constraint {self.text_of(rhs)} using operator '{SYMBOLS[name]}'"
        )
        try:
            call()
        except NotImplementedError as exc:
            assert str(exc) == message
            return NOTHING
        raise AssertionError("no NotImplementedError")

    @rule(obj=objects, other=objects, constant=constants, use_constant=st.booleans(), data=st.data())
    def write(self, obj, other, constant, use_constant, data):
        model = self.models[id(obj)][1]
        value = constant if use_constant else other
        fields = {"Cmp": ["lhs", "rhs", "op"], "Depends": ["on"], "IfThen": ["cond", "then"], "Maximize": ["item"],
                  "Minimize": ["item"], "NumOf": ["of"], "SpecOption": ["package_name", "option_name"],
                  "Value": ["value"]}[model[0]]
        name = data.draw(st.sampled_from(fields))
        position = fields.index(name) + 1
        if name == "op":
            value = data.draw(st.sampled_from([*SYMBOLS, value]))
            value = getattr(CmpType, value) if isinstance(value, str) and value in SYMBOLS else value

        def new_model():
            if name == "op":
                if not isinstance(value, CmpType):
                    raise Failure(value)
                return (*model[:3], repr(value).removeprefix("CmpType."))
            if name in ("on", "package_name", "option_name"):
                if not (isinstance(value, str) and encodable(value)):
                    raise Failure(value)
                return (*model[:position], value, *model[position + 1 :])
            if name == "of":
                return ("NumOf", (self.constraint(value),) * 2)
            if name == "value":
                return ("Value", *option_value(value))
            return (*model[:position], self.constraint(value), *model[position + 1 :])

        try:
            if self.too_long(new_model()):
                return
        except Failure:
            pass
        outcome = self.expect(lambda: setattr(obj, name, [value, value] if name == "of" else value), new_model)
        if isinstance(outcome, tuple):
            self.models[id(obj)] = (obj, outcome[0])
        elif outcome is not None:
            assert str(outcome).startswith(f"argument '{name}': ") or type(outcome) is UnicodeEncodeError, outcome

    @rule(target=objects, obj=objects, then=objects)
    def if_then(self, obj, then):
        model = ("IfThen", self.models[id(obj)][1], self.models[id(then)][1])
        if model[1][0] != "Cmp" or self.too_long(model):
            return NOTHING
        return self.track(obj.if_then(then), model)

    @rule(target=objects, obj=objects, data=st.data())
    def extract(self, obj, data):
        # A property read: a new object holding a copy of the part.
        model = self.models[id(obj)][1]
        if model[0] in ("Cmp", "IfThen"):
            i = data.draw(st.integers(1, 2))
            return self.track(getattr(obj, {"Cmp": ["lhs", "rhs"], "IfThen": ["cond", "then"]}[model[0]][i - 1]), model[i])
        if model[0] in ("Maximize", "Minimize"):
            return self.track(obj.item, model[1])
        if model[0] == "NumOf" and model[1]:
            i = data.draw(st.integers(0, len(model[1]) - 1))
            return self.track(obj.of[i], model[1][i])
        return NOTHING

    @rule(obj=objects)
    def read(self, obj):
        model = self.models[id(obj)][1]
        kind = model[0]
        if kind in ("Cmp", "IfThen", "Maximize", "Minimize"):
            names = {"Cmp": ["lhs", "rhs"], "IfThen": ["cond", "then"]}.get(kind, ["item"])
            assert [text(getattr(obj, n)) for n in names] == [self.text_of(m) for m in model[1 : len(names) + 1]]
            if kind == "Cmp":
                assert repr(obj.op) == f"CmpType.{model[3]}"
        elif kind == "NumOf":
            assert [text(x) for x in obj.of] == [self.text_of(m) for m in model[1]]
        elif kind == "Value":
            value = obj.value
            assert type(value) is TYPES[model[1]]
            assert value_text(model[1], value if not isinstance(value, Version) else str(value)) == self.text_of(model)
        else:
            assert [getattr(obj, n) for n in {"Depends": ["on"]}.get(kind, ["package_name", "option_name"])] == list(
                model[1:]
            )

    @rule(name=names, objs=st.lists(objects, max_size=3), constant=constants, extra=st.booleans())
    def outline(self, name, objs, constant, extra):
        def model():
            if not encodable(name):
                raise Failure(name)
            for item in [*objs, constant]:
                self.constraint(item)
            option_value(constant)
            if extra:
                raise Failure("extra")
            return "ok"

        kwargs = {"unexpected": 1} if extra else {}
        outcome = self.expect(
            lambda: PackageOutline(name, [*objs, constant], {"o": constant}, {"d": None, "e": constant}, **kwargs),
            model,
        )
        if isinstance(outcome, tuple):
            assert type(outcome[1]) is PackageOutline

    @invariant()
    def texts_hold(self):
        for obj, model in self.models.values():
            assert text(obj) == self.text_of(model)


Machine.TestCase.settings = settings(
    max_examples=int(os.environ.get("NORBE_STATEFUL_EXAMPLES", "25")),
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=list(HealthCheck),
)
TestStateful = Machine.TestCase
