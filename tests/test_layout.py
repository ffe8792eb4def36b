"""The layout check of the source tree (.ci/layers.py): include arrows by
folder, folders kept free of Python.h, non-portable code in the platform
layer only. Runs only beside the sources."""

import importlib.util
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOL_PATH = ROOT / ".ci" / "layers.py"
if not TOOL_PATH.is_file():
    pytest.skip("the layout check lives beside the sources", allow_module_level=True)

_spec = importlib.util.spec_from_file_location("layers", TOOL_PATH)
layers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(layers)

# A small tree that passes: every arrow points down.
GOOD = {
    "core/platform.hpp": "#pragma once\n#define NORBE_ALWAYS_INLINE [[gnu::always_inline]] inline\n",
    "core/platform.cpp": '#include "core/platform.hpp"\n#include <unistd.h>\nlong w() { return ::write(1, "", 0); }\n',
    "core/model.hpp": '#pragma once\n#include "core/platform.hpp"\n',
    "process/log.cpp": '#include "core/model.hpp"\n',
    "runtime/errors.hpp": '#pragma once\n#include <Python.h>\n#include "core/model.hpp"\n',
    "convert/conversions.hpp": '#pragma once\n#include "runtime/errors.hpp"\n',
    "package/constraint/classes.hpp": '#pragma once\n#include "convert/conversions.hpp"\n',
    "spec/spec_option.hpp": '#pragma once\n#include "package/constraint/classes.hpp"\n',
    "package/outline.hpp": '#pragma once\n#include "convert/conversions.hpp"\n',
    "lib.cpp": '#include "package/outline.hpp"\n#include "spec/spec_option.hpp"\n',
}


def run(tmp_path, capsys, changes):
    files = dict(GOOD)
    for name, text in changes.items():
        if text is None:
            files.pop(name, None)
        else:
            files[name] = textwrap.dedent(text)
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    status = layers.main(["layers.py", str(tmp_path)])
    out, err = capsys.readouterr()
    return status, out, err


def test_a_tree_whose_arrows_point_down_passes(tmp_path, capsys):
    status, out, err = run(tmp_path, capsys, {})
    assert (status, err) == (0, "")
    assert "  convert              -> runtime (1)\n" in out
    assert "  .                    -> package (1), spec (1)\n" in out


@pytest.mark.parametrize(
    ("changes", "finding"),
    [
        # An arrow up: the conversions name a class header.
        (
            {"convert/conversions.hpp": '#include "runtime/errors.hpp"\n#include "package/constraint/classes.hpp"\n'},
            "convert/conversions.hpp:2: includes package/constraint/classes.hpp: an arrow up, convert -> "
            "package/constraint",
        ),
        # Two folders including each other.
        (
            {"core/model.hpp": '#include "process/stdout.hpp"\n', "process/stdout.hpp": '#include "core/model.hpp"\n'},
            "an arrow up, core -> process",
        ),
        ({"core/model.hpp": "#include <Python.h>\n"}, "core/model.hpp:1: includes Python.h in a folder kept free"),
        ({"process/log.cpp": "#  include <Python.h>\n"}, "process/log.cpp:1: includes Python.h"),
        ({"extra/thing.hpp": "#pragma once\n"}, "folder 'extra' has no place in the layers"),
        ({"lib.cpp": '#include "gone.hpp"\n'}, '"gone.hpp" is no file of src/'),
        ({"core/version.cpp": "bool f(unsigned a) { return __builtin_mul_overflow(a, 10u, &a); }\n"},
         "core/version.cpp:1: compiler builtin '__builtin_mul_overflow' outside core/platform.*"),
        ({"process/fault.cpp": 'extern "C" __attribute__((visibility("default"))) long arm();\n'},
         "compiler attribute '__attribute__'"),
        ({"lib.cpp": "[[gnu::noinline]] void f();\n"}, "compiler attribute '[[gnu::'"),
        ({"lib.cpp": "__declspec(dllexport) void f();\n"}, "compiler attribute '__declspec'"),
        ({"process/stdout.cpp": "#include <unistd.h>\n"}, "system header '#include <unistd.h>'"),
        ({"process/stdout.cpp": "long f() { return write(1, p, n); }\n"}, "POSIX or C library call 'write('"),
        ({"process/stdout.cpp": "bool f() { return ::isatty(1); }\n"}, "POSIX or C library call '::isatty('"),
        ({"process/threads.hpp": "auto t = pthread_self();\n"}, "POSIX threads call 'pthread_self'"),
        ({"core/pool.hpp": "auto n = malloc_usable_size(p);\n"}, "'malloc_usable_size('"),
    ],
    ids=["upward", "cycle", "Python.h in core", "Python.h in process", "unknown folder", "missing file",
         "builtin", "attribute", "gnu attribute", "declspec", "system header", "write", "isatty", "pthread",
         "malloc_usable_size"],
)
def test_a_finding_fails_the_check(tmp_path, capsys, changes, finding):
    status, out, err = run(tmp_path, capsys, changes)
    assert status == 1
    assert finding in err, err
    assert out.startswith("include graph of src/ by folder")


@pytest.mark.parametrize(
    "text",
    [
        "// write(2) retries on EINTR; __builtin_expect and __attribute__ are not used here\n",
        "/* isatty(1)\n   pthread_self() */\nint x;\n",
        'const char* s = "write(1, p, n) __builtin_trap()";\n',
        'auto r = R"(pthread_create( [[gnu::cold]] )";\n',
        "struct Log { void write(int); };\nvoid f(Log& log, Log* p) { log.write(1); p->write(2); }\n",
        "auto Read = 1; int rewrite(int); int y = rewrite(2);\n",
    ],
    ids=["line comment", "block comment", "string", "raw string", "member call", "longer name"],
)
def test_comments_strings_and_members_are_not_findings(tmp_path, capsys, text):
    status, out, err = run(tmp_path, capsys, {"process/stdout.cpp": text})
    assert (status, err) == (0, "")


def test_the_real_tree_has_no_arrow_up(capsys):
    layers.main(["layers.py", str(ROOT / "src")])
    out, err = capsys.readouterr()
    assert "arrow up" not in err and "Python.h" not in err and "no place" not in err, err
