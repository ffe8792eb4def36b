"""The build and CI tooling: the Debian mirror taken from apt's configuration,
the build description and side-by-side table of bench/instructions.py, and
no package registry's host name in the tree. Skipped when the tests run from
a copy without the source tree beside them."""

import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIRROR_SCRIPT = os.path.join(ROOT, ".ci", "debian_mirror.sh")
pytestmark = pytest.mark.skipif(not os.path.exists(MIRROR_SCRIPT), reason="not run from the source tree")

SECURITY = "Types: deb\nURIs: http://mirror.example/debian-security\nSuites: bookworm-security\nComponents: main\n"
ARCHIVE = "Types: deb\nURIs: http://mirror.example/debian/ http://second.example/debian\nSuites: bookworm\n"


def _mirror(tmp_path, files, env=()):
    etc = tmp_path / "apt"
    (etc / "sources.list.d").mkdir(parents=True)
    for name, text in files.items():
        (etc / name).write_text(text)
    environ = {k: v for k, v in os.environ.items() if k != "NORBE_CI_MIRROR"}
    environ.update(env, NORBE_CI_APT_ETC=str(etc))
    proc = subprocess.run(["bash", "-c", f"source '{MIRROR_SCRIPT}' && debian_mirror"],
                          env=environ, capture_output=True, text=True, check=True)
    return proc.stdout.strip()


@pytest.mark.parametrize("files, env, expected", [
    # deb822: the security archive is passed over, the first URI of the stanza taken, without its slash.
    ({"sources.list.d/debian.sources": SECURITY + "\n" + ARCHIVE}, {}, "http://mirror.example/debian"),
    # deb822 files come before one-line sources.
    ({"sources.list.d/debian.sources": ARCHIVE, "sources.list": "deb http://other.example/debian sid main\n"}, {},
     "http://mirror.example/debian"),
    # One-line sources: options in brackets, comments and security lines skipped.
    ({"sources.list": "# deb http://old.example/debian sid main\n"
                      "deb http://security.example/debian-security bookworm-security main\n"
                      "deb [arch=amd64 signed-by=/k.gpg] http://lines.example/debian bookworm main\n"}, {},
     "http://lines.example/debian"),
    ({"sources.list.d/extra.list": "  deb http://extra.example/debian trixie main\n"}, {},
     "http://extra.example/debian"),
    # The override wins over any configuration.
    ({"sources.list.d/debian.sources": ARCHIVE}, {"NORBE_CI_MIRROR": "http://override.example/d/"},
     "http://override.example/d"),
    # Only the security archive, or nothing: no mirror.
    ({"sources.list.d/debian.sources": SECURITY}, {}, ""),
    ({}, {}, ""),
])
def test_debian_mirror(tmp_path, files, env, expected):
    assert _mirror(tmp_path, files, env) == expected


def _instructions():
    sys.path.insert(0, os.path.join(ROOT, "bench"))
    try:
        import instructions
    finally:
        sys.path.pop(0)
    return instructions


def test_build_description_names_the_imported_module():
    import norbe

    info = _instructions().describe_build()
    assert os.path.samefile(info["path"], norbe.__file__)
    # Both the local gcc build and the wheels link a C++ library that is recognised.
    assert info["cxx_library"].startswith(("libstdc++", "libc++")), info
    assert all(info["compilers"]), info


@pytest.mark.parametrize("data", [b"", b"\x7fELG" + bytes(60), b"#!/bin/sh\n"])
def test_elf_reader_refuses_other_files(data):
    with pytest.raises(ValueError):
        _instructions()._elf_sections(data)


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
@pytest.mark.parametrize("flags", [[], ["-m32"]])
def test_elf_reader_finds_sections_and_comment(tmp_path, flags):
    source = tmp_path / "m.c"
    source.write_text('__asm__(".section .comment\\n.asciz \\"probe compiler 1.0\\"\\n.text");\nint f(void) { return 1; }\n')
    out = tmp_path / "m.o"
    if subprocess.run(["cc", *flags, "-c", str(source), "-o", str(out)], capture_output=True).returncode:
        pytest.skip(f"cc cannot compile with {flags}")
    build = _instructions().module_build(str(out))
    assert "probe compiler 1.0" in build["compilers"]
    assert build["cxx_library"] == "no C++ library recognised"


@pytest.mark.parametrize("mine, other, row", [
    ([{"label": "a", "norbe": 110.0}], [{"label": "a", "norbe": 100.0}], "| `a` | 100 | 110 | 1.100 |"),
    ([{"label": "a", "norbe": 95.0}, {"label": "b", "norbe": 1.0}], [{"label": "a", "norbe": 100.0}],
     "| `a` | 100 | 95 | 0.950 |"),
    ([{"label": "z", "norbe": 5.0}], [{"label": "z", "norbe": 0.0}], "| `z` | 0 | 5 | - |"),
])
def test_side_by_side_table(mine, other, row):
    text = _instructions().compare(mine, other, ("wheel", "local"))
    lines = text.splitlines()
    assert lines[0] == "| operation | local | wheel | wheel / local |"
    # Rows the other build lacks are left out.
    assert lines[2:] == [row]


def test_no_registry_host_in_the_tree():
    # The tracked files; a copy of the tree without its history (as in the
    # Debian roots) is checked where it came from.
    listing = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], capture_output=True) \
        if shutil.which("git") else None
    if listing is None or listing.returncode != 0:
        pytest.skip("not a git checkout")
    files = listing.stdout
    hosts = [".".join(parts) for parts in (("deb", "debian", "org"), ("pypi", "org"),
                                           ("files", "pythonhosted", "org"), ("security", "debian", "org"))]
    found = []
    for name in filter(None, files.decode().split("\0")):
        path = os.path.join(ROOT, name)
        if not os.path.isfile(path):
            continue
        with open(path, "rb") as f:
            text = f.read().lower()
        found += [f"{name}: {host}" for host in hosts if host.encode() in text]
    assert not found
