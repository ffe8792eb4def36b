"""Building comparisons with the comparison operators: the acceptance table,
refusal messages, reflected operators and operands that are no constraint."""

import operator

import pytest

from conftest import error_of, text, traced_lines, value_of
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from norbe.package.version import Version


# name -> (factory, comparison type or None, text form)
OBJECTS = {
    "Cmp": (lambda: Depends("a") == True, "Bool", "[ Depends( a ) ] == [ true ]"),  # noqa: E712
    "Depends": (lambda: Depends("d"), "Bool", "Depends( d )"),
    "IfThen": (lambda: IfThen(1, 2), None, "If( 1 ) Then [ 2 ]"),
    "Maximize": (lambda: Maximize(1), None, "Maximize( 1 )"),
    "Minimize": (lambda: Minimize(True), None, "Minimize( true )"),
    "NumOf": (lambda: NumOf([Depends("a")]), "Int", "NumOf( Depends( a ) )"),
    "SpecOption": (lambda: SpecOption("p", "o"), "Unknown", "Package 'p' -> Option 'o'"),
    "Value(Bool)": (lambda: value_of(False), "Bool", "false"),
    "Value(Int)": (lambda: value_of(7), "Int", "7"),
    "Value(Float)": (lambda: value_of(2.5), "Float", "2.5"),
    "Value(Str)": (lambda: value_of("s"), "Str", "s"),
    "Value(Version)": (lambda: value_of(Version("1.2")), "Version", "1.2"),
}
CONSTANTS = {
    "True": (lambda: True, "Bool", "true"),
    "int": (lambda: 3, "Int", "3"),
    "float": (lambda: 0.5, "Float", "0.5"),
    "str": (lambda: "t", "Str", "t"),
    "Version": (lambda: Version("2"), "Version", "2"),
}
# symbol -> (operator, CmpType value, the symbol seen from the other side)
OPERATORS = {
    "<": (operator.lt, 0, ">"),
    "<=": (operator.le, 1, ">="),
    "!=": (operator.ne, 2, "!="),
    "==": (operator.eq, 3, "=="),
    ">=": (operator.ge, 4, "<="),
    ">": (operator.gt, 5, "<"),
}


def check_outcome(build, lhs_type, lt, ltext, rhs_type, rt, rtext, symbol):
    """Accepted: both sides have a type, the same one, and Bool only with == and !=."""
    if lt is not None and lt == rt and (lt != "Bool" or symbol in ("==", "!=")):
        result = build()
        assert type(result) is Cmp
        assert (type(result.lhs), type(result.rhs)) == (lhs_type, rhs_type)
        assert int(result.op) == OPERATORS[symbol][1]
        assert text(result) == f"[ {ltext} ] {symbol} [ {rtext} ]"
    else:
        lkind, rkind = ("None" if t is None else f"Some({t})" for t in (lt, rt))
        assert error_of(build) == (NotImplementedError, (
            f"Cannot compare type {lkind} from constraint {ltext} with type {rkind} from constraint {rtext} "
            f"using operator '{symbol}'"))


@pytest.mark.parametrize("symbol", OPERATORS)
@pytest.mark.parametrize("right", [*OBJECTS, *CONSTANTS])
@pytest.mark.parametrize("left", OBJECTS)
def test_acceptance_table(left, right, symbol):
    make_lhs, lt, ltext = OBJECTS[left]
    make_rhs, rt, rtext = {**OBJECTS, **CONSTANTS}[right]
    lhs, rhs = make_lhs(), make_rhs()
    rhs_type = Value if right in CONSTANTS else type(rhs)
    check_outcome(lambda: OPERATORS[symbol][0](lhs, rhs), type(lhs), lt, ltext, rhs_type, rt, rtext, symbol)
    # neither operand is changed
    assert (text(lhs), text(rhs)) == (ltext, rtext)


@pytest.mark.parametrize("symbol", OPERATORS)
@pytest.mark.parametrize("right", OBJECTS)
@pytest.mark.parametrize("left", CONSTANTS)
def test_constant_on_the_left_is_reflected(left, right, symbol):
    constant, ct, ctext = CONSTANTS[left]
    make_obj, ot, otext = OBJECTS[right]
    obj = make_obj()
    reflected = OPERATORS[symbol][2]
    check_outcome(lambda: OPERATORS[symbol][0](constant(), obj), type(obj), ot, otext, Value, ct, ctext, reflected)


def test_reflection_examples():
    c = 3 < NumOf([])
    assert (type(c.lhs), c.rhs.value, repr(c.op)) == (NumOf, 3, "CmpType.Greater")
    c = True == Depends("x")  # noqa: E712
    assert (type(c.lhs), c.lhs.on, c.rhs.value, repr(c.op)) == (Depends, "x", True, "CmpType.Equal")


def test_refusal_examples():
    assert error_of(lambda: NumOf([Depends("a")]) >= 2.5) == (NotImplementedError, (
        "Cannot compare type Some(Int) from constraint NumOf( Depends( a ) ) with type Some(Float) from constraint 2.5 "
        "using operator '>='"))
    assert error_of(lambda: SpecOption("pkg", "opt") == 3) == (NotImplementedError, (
        "Cannot compare type Some(Unknown) from constraint Package 'pkg' -> Option 'opt' with type Some(Int) "
        "from constraint 3 using operator '=='"))


# A str with a lone surrogate has no UTF-8 form: its conversion fails with
# UnicodeEncodeError, which the comparison discards like any other failure.
UNCONVERTIBLE = [[1], None, object(), {}, {1}, 10**400, b"x", CmpType.Less, "\udc80"]


@pytest.mark.parametrize("bad", UNCONVERTIBLE, ids=lambda b: type(b).__name__)
@pytest.mark.parametrize("name", OBJECTS)
def test_unconvertible_operand_falls_back(name, bad):
    obj = OBJECTS[name][0]()
    assert (obj == bad) is False and (bad == obj) is False
    assert (obj != bad) is True and (bad != obj) is True
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError, match="not supported between instances of"):
            op(obj, bad)
        with pytest.raises(TypeError, match="not supported between instances of"):
            op(bad, obj)


def test_unconvertible_operands_log_one_event_each():
    lines = traced_lines(
        """
        from norbe.package.constraint import Depends, Maximize, NumOf, SpecOption
        Depends("a") == [1]
        [1] == Depends("a")
        Maximize(1) != {}
        SpecOption("p", "o") == object()
        try:
            NumOf([]) < None
        except TypeError:
            pass
        class Meta(type):
            def __repr__(cls):
                raise AssertionError("no text")
        Depends("a") == Meta("Odd", (), {})()   # its message cannot be made: nothing logged
        Depends("a") == Depends("b")      # convertible: nothing logged
        try:
            Depends("a") == 1             # refused: nothing logged
        except NotImplementedError:
            pass
        """
    )
    assert lines == [
        f"ERROR norbe::package::constraint: cannot convert '<class '{name}'>' to Constraint"
        for name in ("list", "list", "dict", "object", "NoneType")
    ]


def test_built_comparisons_are_true_and_unhashable():
    d = Depends("a")
    built = d != d  # an object compared with itself builds too
    assert text(built == built) == "[ [ Depends( a ) ] != [ Depends( a ) ] ] == [ [ Depends( a ) ] != [ Depends( a ) ] ]"
    assert bool(built) is True
    assert Depends("b") in [Depends("a")]
    assert [Depends("a"), 2].index(Depends("b")) == 0
    # membership compares item == x: the reflected operator decides
    assert Depends("a") in [True]
    assert NumOf([]) not in [[1]]
    with pytest.raises(NotImplementedError):
        Depends("a") in [1]  # noqa: B015
    for obj in (built, Depends("a"), value_of(1), NumOf([])):
        with pytest.raises(TypeError, match="unhashable type"):
            {obj}  # noqa: B018


def test_unconvertible_operand_builds_no_message_while_logging_is_off():
    # The failure message names str(type(operand)); with the log event off it
    # is never made, so a metaclass whose repr fails is never asked.
    asked = []

    class Meta(type):
        def __repr__(cls):
            asked.append(cls)
            raise AssertionError("the message was built")

    operand = Meta("Odd", (), {})()
    assert (Depends("a") == operand) is False
    assert (NumOf([]) != operand) is True
    with pytest.raises(TypeError, match="not supported between instances"):
        Depends("a") < operand
    assert asked == []
    # Where the failure is raised, the message is made (and its failure reported).
    with pytest.raises(AssertionError, match="^the message was built$"):
        Cmp(operand, 1, CmpType.Less)
    assert len(asked) == 1
