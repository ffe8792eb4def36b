"""The docstrings of norbe's type stubs, by API record id.

The runtime docstrings of the extension are fixed texts (mostly empty), so the
documentation that editors show on hover, and that the documentation site
renders, lives in the stubs. tools/api_records.py merges the DOCS map below
into the stubs it generates from the API records: edit the texts here, then
run `python tools/api_records.py stubs norbe-stubs`. Property docstrings are
the getters' (a setter record has none); the examples (``>>>``) are run by the
test suite against the built module.
"""

from __future__ import annotations

import textwrap

C = "norbe.package.constraint"

DOCS: dict[str, str] = {}


WIDTH = 88
FIELD = (":param ", ":returns:", ":raises ")


def _wrap(text: str) -> str:
    """Lines longer than WIDTH wrapped at spaces, keeping their indent (a
    field's continuation lines one level deeper); doctest blocks unchanged."""
    lines: list[str] = []
    in_example = False
    for line in text.split("\n"):
        stripped = line.lstrip()
        in_example = stripped.startswith(">>>") or (in_example and stripped != "")
        if in_example or len(line) <= WIDTH:
            lines.append(line)
            continue
        indent = line[: len(line) - len(stripped)]
        deeper = indent + ("    " if stripped.startswith(FIELD) else "")
        lines += textwrap.wrap(stripped, WIDTH, initial_indent=indent, subsequent_indent=deeper, break_on_hyphens=False)
    return "\n".join(lines)


def doc(name: str, text: str) -> None:
    if name in DOCS:
        raise ValueError(f"two docstrings for {name}")
    DOCS[name] = _wrap(textwrap.dedent(text).strip("\n"))


def _flat(text: str) -> str:
    """text on one line, to be placed into a paragraph at any indent."""
    return " ".join(text.split())


ANY = _flat("""an object of a constraint class
    (``Cmp``, ``Depends``, ``IfThen``, ``Maximize``, ``Minimize``, ``NumOf``,
    ``SpecOption``, ``Value``) or a constant (``bool``, ``int``, ``float``,
    ``str`` or ``Version``), which becomes a ``Value``""")

CONVERT_FAILS = _flat("""``argument '{name}': cannot convert '<class 'list'>' to
    Constraint`` when the value cannot become a constraint (here a list: the
    type shown is the value's); with logging on, an ERROR line with the same
    message, without the prefix, is written first""")

READ_COPY = _flat("""Reading returns a new object built from a copy of the stored constraint
(a constant comes back as a ``Value``): ``c.{name} is c.{name}`` is false, and
changing the object read does not change this one.""")

NO_DELETE = _flat("""Deleting the property raises ``AttributeError`` ``can't delete attribute``;
a failed assignment leaves the old value in place.""")

# ------------------------------------------------------------------ modules

doc(
    "norbe",
    """
    A declarative vocabulary for describing software packages.

    The classes live in the submodules: ``norbe.package.version`` (``Version``),
    ``norbe.package.constraint`` (``SpecOption`` and the constraint classes)
    and ``norbe.package.outline`` (``PackageOutline``). This module holds only
    ``package`` and the two functions.
    """,
)
doc("norbe.package", "The package-description classes, in three submodules.")
doc(
    f"{C}",
    """
    Option references and constraint expressions.

    Every class here except ``CmpType`` holds one node of a constraint tree by
    value. The comparison operators of ``SpecOption`` and of the constraint
    classes build ``Cmp`` objects, type-checked; they never return ``bool``.
    """,
)
doc("norbe.package.outline", "Package outlines: one package's name, constraints, options and defaults.")
doc("norbe.package.version", "Versions parsed into typed parts.")

doc(
    "norbe.init_tracing",
    """
    Switch on the diagnostic log, once per process.

    From this call on, INFO, WARN and ERROR events are written to the process's
    standard output (file descriptor 1, not ``sys.stdout``), one line each:
    the level right-aligned in five characters, the target, ``:`` and the
    message, with no timestamp. The first line is ``WARN norbe: tracing
    activated``. The lines are coloured unless the environment variable
    ``NO_COLOR`` is set to a non-empty value when this function is called.

    The events are the refusals that raise ``TypeError`` or ``ValueError``: a
    value that cannot become an option value or a constraint, and an unexpected
    keyword argument of ``PackageOutline``.

    :raises norbe_runtime.PanicException: on a second call, with the message
        ``Failed to set subscriber: SetGlobalDefaultError("a global default
        trace dispatcher has already been set")``. It derives from
        ``BaseException``, so ``except Exception`` does not catch it.
    """,
)
doc(
    "norbe.main_entry",
    """
    The entry point (also the ``norbe`` console script): write the line
    ``norbe entrypoint`` to the process's standard output and return ``None``.

    The line goes to file descriptor 1 directly, so redirecting ``sys.stdout``
    does not capture it. With standard output closed the line is dropped
    silently; another write error raises ``norbe_runtime.PanicException``
    ``failed printing to stdout: ...``.
    """,
)

# ------------------------------------------------------------------ Version

V = "norbe.package.version.Version"
doc(
    V,
    """
    A version, parsed from its text into typed parts.

    The text is split at the separators ``.``, ``-`` and ``+`` into parts: a
    number (0 to 2**64 - 1; leading zeros vanish), a word of ASCII letters and
    digits, the wildcard ``*`` or the final wildcard ``>``. A version never
    changes after it is made.

    Versions are not compared with each other: ``==`` is identity and ``<``
    raises ``TypeError``. A version is a constant inside constraints and
    option values, where it stands for its plain text.

    >>> v = Version("1.02-rc1")
    >>> str(v)
    '1.2-rc1'
    >>> v
    Version { parts: [Int(1), Sep('.'), Int(2), Sep('-'), Str("rc1")] }
    """,
)
doc(
    f"{V}.__new__",
    """
    Parse ``ver``.

    :param ver: the version text (a ``str``).
    :raises TypeError: ``argument 'ver': 'int' object cannot be cast as 'str'``
        (the type shown is the argument's) for a value that is not a ``str``.
    :raises ValueError: for a malformed text, with the first fault from the
        left as its message: ``TrailingSeparator`` (the text is empty or ends
        with a separator), ``EmptyPart`` (two separators in a row, or one at
        the start), ``PartAfterRest`` (anything after ``>``) or
        ``InvalidPart("...")`` (a part with another character, shown quoted
        and escaped).
    :raises UnicodeEncodeError: for a text holding a lone surrogate (``"\\ud800"``), which has no UTF-8 form.

    >>> Version("1.2.")
    Traceback (most recent call last):
    ValueError: TrailingSeparator
    >>> Version("1 .2")
    Traceback (most recent call last):
    ValueError: InvalidPart("1 ")
    """,
)
doc(f"{V}.__str__", "The plain text: the parts in order, numbers in their shortest decimal form.")
doc(
    f"{V}.__repr__",
    """
    The structured text ``Version { parts: [...] }``, one entry per part:
    ``Int(7)``, ``Str("rc1")``, ``Wildcard(Single)``, ``Wildcard(Rest)`` or
    ``Sep('.')``.
    """,
)

# ------------------------------------------------------------------ SpecOption

S = f"{C}.SpecOption"
doc(
    S,
    """
    A reference to one option of one package: the variable of the constraints.

    Its comparisons build a ``Cmp``; an option reference is accepted only
    against another option reference (both sides of comparison type
    ``Unknown``), with any of the six operators. In messages it is written
    ``Package '<package_name>' -> Option '<option_name>'``.

    >>> c = SpecOption("libfoo", "version") >= SpecOption("libbar", "version")
    >>> c.op
    CmpType.GreaterOrEqual
    >>> SpecOption("libfoo", "shared") == True
    Traceback (most recent call last):
    NotImplementedError: Cannot compare type Some(Unknown) from constraint Package 'libfoo' -> Option 'shared' with type Some(Bool) from constraint true using operator '=='
    """,
)
doc(
    f"{S}.__new__",
    """
    Refer to the option ``option_name`` of the package ``package_name``.

    :param package_name: the package's name (a ``str``, not checked: the empty
        text is accepted).
    :param option_name: the option's name (a ``str``, not checked).
    :raises TypeError: ``argument 'package_name': 'int' object cannot be cast
        as 'str'`` (or ``'option_name'``; the type shown is the argument's).
    :raises UnicodeEncodeError: for a text holding a lone surrogate (``"\\ud800"``), which has no UTF-8 form.
    """,
)
for _name, _what in (("package_name", "package"), ("option_name", "option")):
    doc(
        f"{S}.{_name}",
        f"""
        The name of the {_what} (a ``str``).

        Assigning a value that is not a ``str`` raises ``TypeError``
        ``argument '{_name}': 'NoneType' object cannot be cast as 'str'`` (the
        type shown is the value's). A comparison built before an assignment
        keeps the old name. {NO_DELETE}
        """,
    )

# ------------------------------------------------------------------ CmpType

T = f"{C}.CmpType"
doc(
    T,
    """
    The six comparison operators, as the ``op`` of a ``Cmp``.

    The members are class attributes; the class cannot be called. ``int()``
    gives a member's value and ``repr()`` its name. Members compare by
    identity, and ``Cmp.op`` returns a new object on every read, so compare
    ``int()`` or ``repr()`` values instead of the objects.

    >>> [int(m) for m in (CmpType.Less, CmpType.NotEqual, CmpType.Equal, CmpType.Greater)]
    [0, 2, 3, 5]
    >>> (Depends("a") == True).op
    CmpType.Equal
    """,
)
for _member, _value, _symbol in (
    ("Less", 0, "<"),
    ("LessOrEqual", 1, "<="),
    ("NotEqual", 2, "!="),
    ("Equal", 3, "=="),
    ("GreaterOrEqual", 4, ">="),
    ("Greater", 5, ">"),
):
    doc(f"{T}.{_member}", f"``{_symbol}``: ``int()`` gives {_value}.")
doc(
    f"{T}.__int__",
    "The member's value: 0 ``Less``, 1 ``LessOrEqual``, 2 ``NotEqual``, 3 ``Equal``, 4 ``GreaterOrEqual``, 5 ``Greater``.",
)
doc(f"{T}.__repr__", "The member's name: ``CmpType.Less`` and so on (``str()`` gives the same).")

# ------------------------------------------------------------------ constraint classes

doc(
    f"{C}.Cmp",
    """
    A comparison between two constraints: ``lhs op rhs``.

    The comparison operators of the constraint classes and of ``SpecOption``
    build a ``Cmp`` after checking that both sides have the same comparison
    type; the constructor checks nothing. A ``Cmp`` has comparison type
    ``Bool`` itself, so it can be compared with ``==`` and ``!=`` against
    another ``Cmp``, a ``Depends`` or a ``bool``. It is written
    ``[ lhs ] op [ rhs ]`` in messages.

    A ``Cmp`` is an ordinary object and true in a boolean context: ``if a ==
    b:`` always takes the branch.

    >>> c = Cmp(SpecOption("zlib", "version"), Version("1.2.11"), CmpType.GreaterOrEqual)
    >>> c.rhs.value
    Version { parts: [Int(1), Sep('.'), Int(2), Sep('.'), Int(11)] }
    """,
)
doc(
    f"{C}.Cmp.__new__",
    f"""
    Build the comparison without a type check (the operators check).

    :param lhs: the left side: {ANY}.
    :param rhs: the right side, the same kinds as ``lhs``.
    :param op: the operator, a ``CmpType`` member (an ``int`` is refused).
    :raises TypeError: for ``lhs`` (or ``rhs``): {CONVERT_FAILS.format(name="lhs")}. For
        ``op``: ``argument 'op': 'int' object cannot be cast as 'CmpType'``.
    """,
)
doc(
    f"{C}.Cmp.if_then",
    f"""
    Wrap this condition in an ``IfThen``: ``c.if_then(then)`` is
    ``IfThen(c, then)``, with ``cond`` a copy of this ``Cmp``.

    This object is unchanged and no type check is made. The new ``IfThen``
    belongs to the calling thread.

    :param then: what must hold when this condition holds: {ANY}.
    :returns: a new ``IfThen``.
    :raises TypeError: {CONVERT_FAILS.format(name="then")}.
    """,
)
for _side in ("lhs", "rhs"):
    doc(
        f"{C}.Cmp.{_side}",
        f"""
        The {"left" if _side == "lhs" else "right"} side.

        {READ_COPY.format(name=_side)} Assigning accepts {ANY};
        otherwise ``TypeError`` ``argument '{_side}': cannot convert ...``. {NO_DELETE}
        """,
    )
doc(
    f"{C}.Cmp.op",
    f"""
    The operator, a new ``CmpType`` object on every read.

    Assigning accepts a ``CmpType`` member only; otherwise ``TypeError``
    ``argument 'op': 'int' object cannot be cast as 'CmpType'``. {NO_DELETE}
    """,
)

doc(
    f"{C}.Depends",
    """
    A dependency on the package of that name.

    Its comparison type is ``Bool``: ``Depends("zlib") == True`` is accepted,
    ``Depends("zlib") == 1`` and ``Depends("a") < Depends("b")`` are refused.
    It is written ``Depends( <name> )`` in messages.

    >>> d = Depends("zlib")
    >>> d.on
    'zlib'
    >>> (d == True).rhs.value
    True
    """,
)
doc(
    f"{C}.Depends.__new__",
    """
    Depend on the package ``name``.

    :param name: the package's name (a ``str``, not checked).
    :raises TypeError: ``argument 'name': 'int' object cannot be cast as
        'str'`` (the type shown is the argument's).
    :raises UnicodeEncodeError: for a text holding a lone surrogate (``"\\ud800"``), which has no UTF-8 form.
    """,
)
doc(
    f"{C}.Depends.on",
    f"""
    The name of the package depended on (a ``str``; the constructor's
    ``name``).

    Assigning a value that is not a ``str`` raises ``TypeError`` ``argument
    'on': 'int' object cannot be cast as 'str'``. {NO_DELETE}
    """,
)

doc(
    f"{C}.IfThen",
    """
    An implication: if ``cond`` holds, ``then`` must hold.

    An ``IfThen`` has no comparison type: every comparison with it is refused
    with ``NotImplementedError``. It is written ``If( cond ) Then [ then ]``
    in messages.

    An ``IfThen`` object belongs to the thread that made it (its constructor,
    ``Cmp.if_then`` or a read that returned it): using it on another thread
    raises ``norbe_runtime.PanicException`` (``... is unsendable, but sent to
    another thread``), which ``except Exception`` does not catch.
    """,
)
doc(
    f"{C}.IfThen.__new__",
    f"""
    Build the implication, bound to the calling thread.

    :param cond: the condition: {ANY}.
    :param then: what must hold when ``cond`` holds, the same kinds.
    :raises TypeError: for ``cond`` (or ``then``): {CONVERT_FAILS.format(name="cond")}.
    """,
)
for _name, _what in (("cond", "The condition."), ("then", "What must hold when ``cond`` holds.")):
    doc(
        f"{C}.IfThen.{_name}",
        f"""
        {_what}

        {READ_COPY.format(name=_name)} Assigning accepts {ANY};
        otherwise ``TypeError`` ``argument '{_name}': cannot convert ...``. {NO_DELETE}
        """,
    )

for _goal, _how in (("Maximize", "as large"), ("Minimize", "as small")):
    doc(
        f"{C}.{_goal}",
        f"""
        An optimisation goal: make ``item`` {_how} as possible.

        A ``{_goal}`` has no comparison type: every comparison with it is
        refused with ``NotImplementedError``. It is written ``{_goal}( item
        )`` in messages.
        """,
    )
    doc(
        f"{C}.{_goal}.__new__",
        f"""
        Build the goal.

        :param item: what to make {_how} as possible: {ANY}.
        :raises TypeError: {CONVERT_FAILS.format(name="item")}.
        """,
    )
    doc(
        f"{C}.{_goal}.item",
        f"""
        What to make {_how} as possible.

        {READ_COPY.format(name="item")} Assigning accepts {ANY};
        otherwise ``TypeError`` ``argument 'item': cannot convert ...``. {NO_DELETE}
        """,
    )

LIST = _flat("""a sequence (list, tuple, range, ...) whose items each convert to a
    constraint; a ``str`` is refused (``Can't extract `str` to `Vec```), and so
    is an iterable that is not a sequence (a set, a dict, a generator:
    ``'set' object cannot be cast as 'Sequence'``)""")

doc(
    f"{C}.NumOf",
    """
    The number of the listed constraints that hold.

    Its comparison type is ``Int``: compare it with an ``int`` or another
    ``NumOf``, with any of the six operators, to say how many must hold. It is
    written ``NumOf( a, b, ... )`` in messages.

    >>> at_least_one = NumOf([Depends("openssl"), Depends("gnutls")]) >= 1
    >>> [d.on for d in at_least_one.lhs.of], at_least_one.rhs.value
    (['openssl', 'gnutls'], 1)
    >>> NumOf([]) >= 2.5
    Traceback (most recent call last):
    NotImplementedError: Cannot compare type Some(Int) from constraint NumOf(  ) with type Some(Float) from constraint 2.5 using operator '>='
    """,
)
doc(
    f"{C}.NumOf.__new__",
    f"""
    Count the constraints of ``of``.

    :param of: {LIST}. The order is kept; the list may be empty.
    :raises TypeError: ``argument 'of': ...`` with the messages above, or the
        message of the first item that cannot be converted
        (``argument 'of': cannot convert '<class 'NoneType'>' to Constraint``).
    """,
)
doc(
    f"{C}.NumOf.of",
    f"""
    The counted constraints, as a new ``list`` of new objects on every read
    (constants come back as ``Value``); changing the list or its objects does
    not change this ``NumOf``.

    Assigning accepts {LIST}; a failure raises ``TypeError`` ``argument 'of':
    ...``. {NO_DELETE}
    """,
)

doc(
    f"{C}.Value",
    """
    A constant: a ``bool``, ``int``, ``float``, ``str`` or ``Version``.

    ``Value`` cannot be called: a constant passed where a constraint goes
    becomes a ``Value``, and reading it back gives one, as ``Cmp.rhs`` below.
    Its comparison type is the kind of its value (``Bool``, ``Int``,
    ``Float``, ``Str`` or ``Version``), and only equal kinds compare: an
    ``int`` value against a ``float`` is refused. It is written as its value's
    text in messages (``true``, ``2``, ``2.5``, ``1.2.3``; a text unquoted).

    >>> v = (NumOf([Depends("a")]) >= 2).rhs
    >>> v.value
    2
    >>> v == 2.0
    Traceback (most recent call last):
    NotImplementedError: Cannot compare type Some(Int) from constraint 2 with type Some(Float) from constraint 2 using operator '=='
    """,
)
doc(
    f"{C}.Value.value",
    """
    The constant as a plain Python object: ``bool``, ``int``, ``float``,
    ``str`` or a new ``Version`` on every read.

    Assigning converts the value, trying in this order: ``bool`` (also
    numpy's), ``int`` (64-bit signed; also objects with ``__index__``),
    ``float`` (also larger integers and objects with ``__float__``), ``str``,
    ``Version``. Anything else raises ``TypeError`` ``argument 'value':
    cannot cast Python type '<class 'list'>' to SpecOptionValue`` (the type
    shown is the value's). Deleting the property raises ``AttributeError``
    ``can't delete attribute``.
    """,
)

# The six comparison methods of every comparing class, from one table.
OPERATORS = (
    ("__lt__", "<", "Less"),
    ("__le__", "<=", "LessOrEqual"),
    ("__eq__", "==", "Equal"),
    ("__ne__", "!=", "NotEqual"),
    ("__gt__", ">", "Greater"),
    ("__ge__", ">=", "GreaterOrEqual"),
)

# class -> (its comparison type as messages write it, what it is accepted against, example text of self)
COMPARING = {
    "Cmp": ("Some(Bool)", "a ``Cmp``, a ``Depends`` or a ``bool``", "[ Depends( a ) ] == [ true ]"),
    "Depends": ("Some(Bool)", "a ``Cmp``, a ``Depends`` or a ``bool``", "Depends( a )"),
    "IfThen": ("None", None, "If( Depends( a ) ) Then [ Depends( b ) ]"),
    "Maximize": ("None", None, "Maximize( NumOf(  ) )"),
    "Minimize": ("None", None, "Minimize( 2.5 )"),
    "NumOf": ("Some(Int)", "a ``NumOf`` or an ``int``", "NumOf( Depends( a ) )"),
    "SpecOption": ("Some(Unknown)", "another ``SpecOption``", "Package 'p' -> Option 'o'"),
    "Value": (
        "Some(Int)",
        "of the same comparison type as the value (for an ``int`` value: an ``int`` or a ``NumOf``; for a ``bool``: a ``bool``, a ``Cmp`` or a ``Depends``)",
        "2",
    ),
}


def _comparison_doc(cls: str, method: str, symbol: str, member: str) -> str:
    kind, accepted, example = COMPARING[cls]
    ordering = symbol not in ("==", "!=")
    if accepted is None:
        rule = f"""A ``{cls}`` has no comparison type, so this always raises
        ``NotImplementedError`` for an operand that converts to a constraint."""
        other = "Some(Int)"
        operand = "1"
    elif kind == "Some(Bool)" and ordering:
        rule = f"""A ``{cls}`` has comparison type ``Bool``, which takes only ``==`` and
        ``!=``: this always raises ``NotImplementedError`` for an operand that
        converts to a constraint."""
        other = "Some(Bool)"
        operand = "true"
    else:
        rule = f"""Accepted when ``rhs`` is {accepted}; any other constraint or
        constant raises ``NotImplementedError``."""
        other = "Some(Float)" if kind != "Some(Bool)" else "Some(Int)"
        operand = "2.5" if kind != "Some(Bool)" else "1"
    if cls == "Value" and not ordering:
        rule += """ A ``bool`` value takes only ``==`` and ``!=``."""
    elif cls == "Value":
        rule += """ A ``bool`` value refuses this operator."""
    fallback = (
        "at last ``==`` gives ``False`` (identity)"
        if symbol == "=="
        else "at last ``!=`` gives ``True`` (identity)"
        if symbol == "!="
        else "at last the operator raises Python's ``TypeError``"
    )
    return f"""
        ``self {symbol} rhs`` builds a comparison constraint; it never returns a ``bool``.

        {rule}

        :param rhs: the right side: {ANY}. A constant on the left of the
            operator comes here reflected: ``3 < n`` is ``n > 3``.
        :returns: a new ``Cmp`` whose ``lhs`` is a copy of ``self``, whose
            ``rhs`` is ``rhs`` converted and whose ``op`` is ``CmpType.{member}``.
        :raises NotImplementedError: for a refused pair, with the types and
            texts of both sides{" (here of an ``int`` value)" if cls == "Value" else ""}, for example ``Cannot compare type {kind}
            from constraint {example} with type {other} from constraint
            {operand} using operator '{symbol}'``.

        An operand that cannot become a constraint (``None``, a list, a plain
        object) is not an error here: the method answers ``NotImplemented``,
        Python tries the operand's reflected method, and {fallback}.
        """


for _cls in COMPARING:
    for _method, _symbol, _member in OPERATORS:
        doc(f"{C}.{_cls}.{_method}", _comparison_doc(_cls, _method, _symbol, _member))
    doc(
        f"{C}.{_cls}.__hash__",
        """
        ``None``: the objects are unhashable (``hash()`` raises ``TypeError``), as
        ``==`` builds a constraint instead of comparing.
        """,
    )

# ------------------------------------------------------------------ PackageOutline

O = "norbe.package.outline.PackageOutline"
OPTION_VALUE = _flat("""``bool``, ``int``, ``float``, ``str`` or ``Version`` (converted in
    that order, as ``Value.value``)""")
doc(
    O,
    """
    One package's declaration: its name, its constraints, the option values
    it sets and the option defaults it declares.

    Every argument is converted at once into norbe's own values and kept by
    the object, which offers nothing to read back: no attributes, no
    comparisons (``==`` is identity), no text form of its own.

    >>> outline = PackageOutline(
    ...     "libfoo",
    ...     constraints=[Depends("libc"), NumOf([Depends("openssl"), Depends("gnutls")]) >= 1],
    ...     set_options={"version": Version("2.4.1"), "shared": True},
    ...     set_defaults={"threads": 4, "prefix": None},
    ... )
    >>> PackageOutline("libfoo", shared=True)
    Traceback (most recent call last):
    ValueError: PyPackageOutline unexpected keyword argument 'shared'
    """,
)
doc(
    f"{O}.__new__",
    f"""
    Convert and keep the declaration of the package ``name``.

    The arguments are converted in the order of the parameters; the first
    failure ends the call and no object is made.

    :param name: the package's name (a ``str``, not checked).
    :param constraints: ``None`` (no constraints) or a sequence of
        constraints, each {ANY}; the order is kept. A ``str`` is refused with
        ``TypeError`` ``argument 'constraints': Can't extract `str` to
        `Vec```, a non-sequence (a set, a dict, a generator, an ``int``) with
        ``argument 'constraints': 'int' object cannot be cast as
        'Sequence'``.
    :param set_options: ``None`` or a ``dict`` from option name (``str``) to
        {OPTION_VALUE}. ``None`` is not a value here: ``argument
        'set_options': cannot cast Python type '<class 'NoneType'>' to
        SpecOptionValue``.
    :param set_defaults: ``None`` or a ``dict`` like ``set_options``, whose
        values may also be ``None`` (a default of no value).
    :param kwargs: not accepted: the first extra keyword raises
        ``ValueError`` ``PyPackageOutline unexpected keyword argument
        '<name>'``, after the other arguments are converted (with logging on,
        an ERROR line with the same message is written first).
    :raises TypeError: ``argument '<parameter>': ...`` for an argument of
        the wrong type: ``'list' object cannot be cast as 'dict'`` for a map
        that is not a ``dict``, ``'int' object cannot be cast as 'str'`` for
        a name or a key that is not a ``str``, and the conversion messages
        above.
    :raises ValueError: for an extra keyword argument, as above.
    :raises UnicodeEncodeError: for a name or a key holding a lone surrogate (``"\\ud800"``).
    """,
)
