"""init_tracing and the log lines on fd 1 (every case in a fresh interpreter)."""

import pytest

from conftest import run_python

PLAIN_NOTICE = b" WARN norbe: tracing activated\n"
COLOUR_NOTICE = b"\x1b[33m WARN\x1b[0m \x1b[2mnorbe\x1b[0m\x1b[2m:\x1b[0m tracing activated\n"
NONE_MESSAGE = b"cannot convert '<class 'NoneType'>' to Constraint"
PLAIN_ERROR = b"ERROR norbe::package::constraint: " + NONE_MESSAGE + b"\n"
COLOUR_ERROR = b"\x1b[31mERROR\x1b[0m \x1b[2mnorbe::package::constraint\x1b[0m\x1b[2m:\x1b[0m " + NONE_MESSAGE + b"\n"

# Emits one ERROR event (a failed constraint conversion) and swallows the TypeError.
FAIL_ONCE = """
try:
    Maximize(None)
except TypeError as e:
    assert str(e) == "argument 'item': cannot convert '<class 'NoneType'>' to Constraint"
"""
PRELUDE = "import norbe\nfrom norbe.package.constraint import Maximize\n"


@pytest.mark.parametrize(
    ("no_color", "coloured"),
    [
        (None, True),
        ("", True),
        (b"\xff", True),
        (b"\xc3", True),  # truncated sequence
        (b"\xed\xa0\x80", True),  # an encoded surrogate is not UTF-8
        (b"\xed\xbf\xbf", True),  # the last surrogate
        (b"\xc0\xaf", True),  # overlong "/" in two bytes
        (b"\xe0\x80\xaf", True),  # overlong "/" in three bytes
        (b"\xf0\x80\x80\xaf", True),  # overlong "/" in four bytes
        (b"\xf4\x90\x80\x80", True),  # U+110000, above the last code point
        (b"\xf8\x88\x80\x80\x80", True),  # a five-byte lead
        (b"\x80", True),  # a continuation byte without a lead
        (b"\xc3\x28", True),  # a lead followed by no continuation byte
        (b"a\xe2\x82", True),  # truncated after valid text
        ("1", False),
        ("0", False),
        ("é", False),
        ("\U0010ffff", False),  # the last code point
        ("\ud7ff\ue000", False),  # either side of the surrogates
        ("\u0080\u0800\U00010000", False),  # the shortest form of each length
        (" ", False),
    ],
)
def test_init_tracing_colour_decision(no_color, coloured):
    rc, out, err = run_python(PRELUDE + "assert norbe.init_tracing() is None\n" + FAIL_ONCE, env={"NO_COLOR": no_color})
    assert (rc, err) == (0, b"")
    assert out == (COLOUR_NOTICE + COLOUR_ERROR if coloured else PLAIN_NOTICE + PLAIN_ERROR)


def test_events_before_init_tracing_are_discarded():
    code = PRELUDE + FAIL_ONCE + "print('before', flush=True)\nnorbe.init_tracing()\n" + FAIL_ONCE
    rc, out, err = run_python(code, env={"NO_COLOR": "1"})
    assert (rc, err) == (0, b"")
    assert out == b"before\n" + PLAIN_NOTICE + PLAIN_ERROR


@pytest.mark.parametrize(
    ("first", "second", "notice", "error"),
    [
        (None, "1", COLOUR_NOTICE, COLOUR_ERROR),
        ("1", None, PLAIN_NOTICE, PLAIN_ERROR),
    ],
    ids=["stays-coloured", "stays-plain"],
)
def test_second_init_tracing_fails(first, second, notice, error):
    code = PRELUDE + (
        "import os, sys\n"
        "norbe.init_tracing()\n"
        + ("os.environ.pop('NO_COLOR', None)\n" if second is None else f"os.environ['NO_COLOR'] = {second!r}\n")
        + "try:\n"
        "    try:\n"
        "        norbe.init_tracing()\n"
        "    except Exception:\n"
        "        sys.exit('caught as Exception')\n"
        "except BaseException as e:\n"
        "    sys.stderr.write('%s.%s %r\\n' % (type(e).__module__, type(e).__name__, e.args))\n" + FAIL_ONCE
    )
    rc, out, err = run_python(code, env={"NO_COLOR": first})
    assert rc == 0, err
    assert out == notice + error
    expected = (
        "norbe_runtime.PanicException ('Failed to set subscriber: SetGlobalDefaultError("
        '"a global default trace dispatcher has already been set")\',)'
    )
    assert err.decode().splitlines()[-1] == expected


def test_lines_go_to_fd_1_not_sys_stdout():
    code = PRELUDE + (
        "import io, sys\n"
        "print('a', flush=True)\n"
        "sys.stdout = io.StringIO()\n"
        "norbe.init_tracing()\n" + FAIL_ONCE + "captured = sys.stdout.getvalue()\n"
        "sys.stdout = sys.__stdout__\n"
        "print('b', repr(captured))\n"
    )
    rc, out, err = run_python(code, env={"NO_COLOR": "1"})
    assert (rc, err) == (0, b"")
    assert out == b"a\n" + PLAIN_NOTICE + PLAIN_ERROR + b"b ''\n"


@pytest.mark.parametrize(
    ("keyword", "line"),
    [
        # The message is written raw: no quoting, no escaping.
        ("a\nb \"c\"", "a\nb \"c\""),
        # Code points that UTF-8 cannot hold are written as escapes.
        ("a\ud800b\U0001f600", "a\\ud800b\U0001f600"),
    ],
    ids=["raw", "surrogate"],
)
def test_keyword_message_in_the_line(keyword, line):
    code = PRELUDE + (
        "from norbe.package.outline import PackageOutline\n"
        "norbe.init_tracing()\n"
        "try:\n"
        f"    PackageOutline('p', **{{{keyword!r}: 1}})\n"
        "except ValueError as e:\n"
        f"    assert str(e) == {"PyPackageOutline unexpected keyword argument '" + keyword + "'"!r}, ascii(str(e))\n"
    )
    rc, out, err = run_python(code, env={"NO_COLOR": "1"})
    assert (rc, err) == (0, b"")
    expected = f"ERROR norbe::package::outline: PyPackageOutline unexpected keyword argument '{line}'\n"
    assert out == PLAIN_NOTICE + expected.encode()


def test_write_failures_do_not_raise():
    code = PRELUDE + (
        "import os, sys\n"
        "r, w = os.pipe()\n"
        "os.close(r)\n"
        "os.dup2(w, 1)\n"
        "norbe.init_tracing()\n" + FAIL_ONCE + "os.close(1)\n" + FAIL_ONCE + "sys.stderr.write('done\\n')\n"
    )
    rc, out, err = run_python(code, env={"NO_COLOR": "1"})
    assert rc == 0, err
    lines = err.decode().splitlines()
    # Two lines to the broken pipe, each with a diagnostic; nothing for the closed descriptor.
    assert len(lines) == 3 and lines[-1] == "done"
    assert all("(os error 32)" in line for line in lines[:2]), lines
