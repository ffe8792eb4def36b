"""Shared helpers: fresh interpreters for anything that touches fd 1 or process-wide state."""

import os
import subprocess
import sys
import sysconfig
import textwrap
import threading

import pytest

from norbe.package.constraint import Cmp, CmpType, Depends, Maximize


# A free-threaded interpreter (built with --disable-gil).
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code, env=None, timeout=120):
    """Runs `code` with `python -c` in a fresh interpreter.

    `env` overrides the current environment: each value is a str or bytes
    (bytes need not be valid UTF-8), or None to remove the variable.
    Returns (returncode, stdout bytes, stderr bytes).
    """
    environ = dict(os.environb)
    for name, value in (env or {}).items():
        key = os.fsencode(name)
        if value is None:
            environ.pop(key, None)
        else:
            environ[key] = os.fsencode(value) if isinstance(value, str) else value
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=environ,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=timeout,
    )
    return proc.returncode, proc.stdout, proc.stderr


def traced_lines(code):
    """Runs `code` after init_tracing() without colour; returns the log lines
    written after the start-up notice (decoded, without newlines)."""
    rc, out, err = run_python("import norbe\nnorbe.init_tracing()\n" + textwrap.dedent(code), env={"NO_COLOR": "1"})
    assert rc == 0, err.decode(errors="replace")
    lines = out.decode().splitlines()
    assert lines[0] == " WARN norbe: tracing activated"
    return lines[1:]


TEXT_PREFIX = "Cannot compare type None from constraint Maximize( "
TEXT_SUFFIX = " ) with type Some(Int) from constraint 0 using operator '=='"


def error_of(call):
    """(type, message) of what `call` raises. No ExceptionInfo is kept: its
    traceback would hold the operands in a cycle that the collector may free
    on another thread, where an IfThen would report a foreign drop."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001
        return type(exc), str(exc)
    return None, None


def text(obj):
    """The text form of whatever `obj` converts to, read from a refusal message."""
    kind, message = error_of(lambda: Maximize(obj) == 0)
    assert kind is NotImplementedError and message.startswith(TEXT_PREFIX) and message.endswith(TEXT_SUFFIX)
    return message[len(TEXT_PREFIX) : -len(TEXT_SUFFIX)]


def value_of(x):
    """A Value object holding x (Value has no constructor: read it from a Cmp)."""
    return Cmp(Depends("a"), x, CmpType.Equal).rhs


def _capture_panic_type():
    # An IfThen used from a thread other than its creator is an internal
    # failure: the cheapest way to meet the exception class in-process.
    from norbe.package.constraint import IfThen

    node = IfThen(1, 2)
    caught = []

    def use():
        try:
            node.cond  # noqa: B018 - the read is the point
        except BaseException as exc:  # noqa: BLE001 - the very class we are after
            # Keep only the class: the exception's traceback would hold this
            # frame, and with it the IfThen, in a reference cycle.
            caught.append(type(exc))

    thread = threading.Thread(target=use)
    thread.start()
    thread.join()
    del node
    return caught[0]


@pytest.fixture(scope="session")
def panic_exception():
    """The norbe_runtime.PanicException class."""
    return _capture_panic_type()


@pytest.fixture(name="run_python")
def _run_python_fixture():
    return run_python
