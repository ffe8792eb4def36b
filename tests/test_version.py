"""Version parsing, its error messages and its two text forms."""

import re
import unicodedata

import pytest
from hypothesis import given
from hypothesis import strategies as st

from norbe.package.version import Version

U64_MAX = 2**64 - 1

# input, str(), repr() of the parsed version
VALID = [
    ("1.2-rc1", "1.2-rc1", "Int(1), Sep('.'), Int(2), Sep('-'), Str(\"rc1\")"),
    (
        "1.2-rc1+build5",
        "1.2-rc1+build5",
        "Int(1), Sep('.'), Int(2), Sep('-'), Str(\"rc1\"), Sep('+'), Str(\"build5\")",
    ),
    (">", ">", "Wildcard(Rest)"),
    ("1.>", "1.>", "Int(1), Sep('.'), Wildcard(Rest)"),
    ("*", "*", "Wildcard(Single)"),
    ("1.*.3", "1.*.3", "Int(1), Sep('.'), Wildcard(Single), Sep('.'), Int(3)"),
    ("*-*", "*-*", "Wildcard(Single), Sep('-'), Wildcard(Single)"),
    ("007", "7", "Int(7)"),
    ("0", "0", "Int(0)"),
    ("000.00", "0.0", "Int(0), Sep('.'), Int(0)"),
    ("18446744073709551615", "18446744073709551615", "Int(18446744073709551615)"),
    ("0018446744073709551615", "18446744073709551615", "Int(18446744073709551615)"),
    ("18446744073709551616", "18446744073709551616", 'Str("18446744073709551616")'),
    ("018446744073709551616", "018446744073709551616", 'Str("018446744073709551616")'),
    ("00000000000000000000001", "1", "Int(1)"),
    # More than 20 significant digits is beyond every 64-bit value.
    ("100000000000000000000", "100000000000000000000", 'Str("100000000000000000000")'),
    ("000123456789012345678901", "000123456789012345678901", 'Str("000123456789012345678901")'),
    ("1." + "9" * 40, "1." + "9" * 40, "Int(1), Sep('.'), Str(\"" + "9" * 40 + "\")"),
    ("1.RC1", "1.RC1", "Int(1), Sep('.'), Str(\"RC1\")"),
    ("0x1F", "0x1F", 'Str("0x1F")'),
    ("a", "a", 'Str("a")'),
]


@pytest.mark.parametrize(("text", "plain", "parts"), VALID)
def test_valid(text, plain, parts):
    version = Version(text)
    assert str(version) == plain
    assert repr(version) == "Version { parts: [" + parts + "] }"
    assert str(Version(ver=text)) == plain


INVALID = [
    ("", "TrailingSeparator"),
    ("1.", "TrailingSeparator"),
    ("1-", "TrailingSeparator"),
    (">.", "TrailingSeparator"),
    ("1.>.", "TrailingSeparator"),
    ("1..2", "EmptyPart"),
    ("1..", "EmptyPart"),
    (".1", "EmptyPart"),
    (".", "EmptyPart"),
    ("+1", "EmptyPart"),
    ("-1", "EmptyPart"),
    ("1..>", "EmptyPart"),
    ("1.>.2", "PartAfterRest"),
    (">..", "PartAfterRest"),
    (">.>", "PartAfterRest"),
    (">.a b", "PartAfterRest"),
    ("**", 'InvalidPart("**")'),
    (">>", 'InvalidPart(">>")'),
    ("1*", 'InvalidPart("1*")'),
    ("1.*>", 'InvalidPart("*>")'),
    (" 1", 'InvalidPart(" 1")'),
    ("1_0", 'InvalidPart("1_0")'),
    ("1 .2", 'InvalidPart("1 ")'),
    ("a b.", 'InvalidPart("a b")'),
    ("1.a b.c d", 'InvalidPart("a b")'),
    ("1.a b..", 'InvalidPart("a b")'),
    ("é", 'InvalidPart("é")'),
    ("1.a'b", 'InvalidPart("a\'b")'),
    ('1.a"b', 'InvalidPart("a\\"b")'),
    ("1.a\\b", 'InvalidPart("a\\\\b")'),
    ("1.2\n", 'InvalidPart("2\\n")'),
    ("\t\r\0", 'InvalidPart("\\t\\r\\0")'),
    ("-5", "EmptyPart"),
    ("1.-5", "EmptyPart"),
]


@pytest.mark.parametrize(("text", "message"), INVALID)
def test_invalid(text, message):
    with pytest.raises(ValueError) as info:
        Version(text)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


# One character inside an otherwise valid part, and how the message shows it.
ESCAPES = [
    ("\x01", "\\u{1}"),  # Cc
    ("\x1b", "\\u{1b}"),
    ("\x7f", "\\u{7f}"),
    ("\x85", "\\u{85}"),
    ("\x9f", "\\u{9f}"),
    ("\u00ad", "\\u{ad}"),  # Cf
    ("\u200b", "\\u{200b}"),
    ("\ufeff", "\\u{feff}"),
    ("\U000e0001", "\\u{e0001}"),
    ("\ue000", "\\u{e000}"),  # Co
    ("\U000f0000", "\\u{f0000}"),
    ("\u0378", "\\u{378}"),  # Cn
    ("\uffff", "\\u{ffff}"),
    ("\U0010ffff", "\\u{10ffff}"),
    ("\u2028", "\\u{2028}"),  # Zl
    ("\u2029", "\\u{2029}"),  # Zp
    ("\u00a0", "\\u{a0}"),  # Zs
    ("\u3000", "\\u{3000}"),
    ("\u0301", "\\u{301}"),  # Grapheme_Extend: Mn
    ("\u0488", "\\u{488}"),  # Me
    ("\u09be", "\\u{9be}"),  # Other_Grapheme_Extend (Mc)
    ("\uff9e", "\\u{ff9e}"),  # Other_Grapheme_Extend (Lm)
    (" ", " "),
    ("'", "'"),
    ("é", "é"),
    ("ß", "ß"),
    ("€", "€"),
    ("漢", "漢"),
    ("\U0001f600", "\U0001f600"),
    ("\u0903", "\u0903"),  # a spacing mark without Grapheme_Extend
]


@pytest.mark.parametrize(("char", "shown"), ESCAPES, ids=[f"U+{ord(c):04X}" for c, _ in ESCAPES])
def test_invalid_part_escapes(char, shown):
    with pytest.raises(ValueError) as info:
        Version("1.e" + char + "2.3")
    assert str(info.value) == 'InvalidPart("e' + shown + '2")'


@pytest.mark.skipif(unicodedata.unidata_version != "15.0.0", reason="the escape tables follow Unicode 15.0.0")
def test_escape_rule_for_every_code_point():
    chars = [chr(c) for c in range(0x80, 0x110000) if not 0xD800 <= c <= 0xDFFF]
    with pytest.raises(ValueError) as info:
        Version("".join(chars))
    body = str(info.value)[len('InvalidPart("') : -len('")')]
    shown = re.findall(r"\\u\{([0-9a-f]+)\}|(.)", body, re.S)
    assert len(shown) == len(chars)
    escaped = {int(h, 16) for h, _ in shown if h}
    assert {ord(c) for h, c in shown if not h} == {ord(c) for c in chars} - escaped
    by_category = {
        ord(c) for c in chars if unicodedata.category(c) in ("Cc", "Cf", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me")
    }
    assert by_category <= escaped
    # Beyond the categories only Other_Grapheme_Extend, a short list.
    other = escaped - by_category
    assert {0x09BE, 0x0D57, 0xFF9E, 0x1D165, 0x11930} <= other and len(other) < 60
    assert {unicodedata.category(chr(c)) for c in other} <= {"Mc", "Lm"}


@pytest.mark.parametrize("text", ["\ud800", "1.\udfff", "\udc80.1"])
def test_lone_surrogate_fails_before_parsing(text):
    with pytest.raises(UnicodeEncodeError):
        Version(text)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((b"1",), "argument 'ver': 'bytes' object cannot be cast as 'str'"),
        ((None,), "argument 'ver': 'NoneType' object cannot be cast as 'str'"),
        ((), "Version.__new__() missing 1 required positional argument: 'ver'"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        Version(*args)
    assert str(info.value) == message


def test_str_subclass_and_identity_semantics():
    class Text(str):
        pass

    assert str(Version(Text("01.x"))) == "1.x"
    a, b = Version("1"), Version("1")
    assert a == a and a != b and not (a == b)
    assert a != "1"
    with pytest.raises(TypeError):
        a < b  # noqa: B015


def expected_plain(text):
    """The plain text the parser should give for a well-formed version."""
    out, part = [], ""
    for ch in text + "\0":
        if ch in ".-+\0":
            out.append(str(int(part)) if part.isdigit() and int(part) <= U64_MAX else part)
            if ch != "\0":
                out.append(ch)
            part = ""
        else:
            part += ch
    return "".join(out)


alnum = st.text("0123456789abcXYZ", min_size=1, max_size=8)
digits = st.text("0", max_size=3).flatmap(lambda z: st.integers(0, 2**66).map(lambda n: z + str(n)))
parts = st.one_of(alnum, digits, st.just("*"))
versions = st.builds(
    lambda ps, seps, rest: ps[0] + "".join(s + p for s, p in zip(seps, ps[1:])) + (seps[-1] + ">" if rest else ""),
    st.lists(parts, min_size=1, max_size=8),
    st.lists(st.sampled_from(".-+"), min_size=8, max_size=8),
    st.booleans(),
)


@given(versions)
def test_plain_text_round_trip(text):
    plain = str(Version(text))
    assert plain == expected_plain(text)
    assert str(Version(plain)) == plain
    assert repr(Version(plain)) == repr(Version(text))


@given(st.text('.-+*>a0 é\n"\\', max_size=12))
def test_any_text_parses_or_names_its_fault(text):
    try:
        version = Version(text)
    except ValueError as exc:
        (message,) = exc.args
        assert message in ("TrailingSeparator", "EmptyPart", "PartAfterRest") or (
            message.startswith('InvalidPart("') and message.endswith('")')
        )
    else:
        assert str(Version(str(version))) == str(version)


@pytest.mark.parametrize(
    "text",
    ["1." * 5_000_000 + "1", "a" * 10_000_000, "0" * 10_000_000],
    ids=["many-parts", "long-str", "long-zeros"],
)
def test_ten_megabyte_version(text):
    version = Version(text)
    plain = str(version)
    assert plain == ("0" if text[0] == "0" else text)
    assert repr(version).startswith("Version { parts: [")


def test_ten_megabyte_invalid_part():
    with pytest.raises(ValueError) as info:
        Version("1." + "a" * 10_000_000 + "_")
    assert str(info.value) == 'InvalidPart("' + "a" * 10_000_000 + '_")'
