"""The Windows/macOS wheel helpers: reading COFF objects for the import
library, the link policies of the binary checks, and the wheel archive."""

import base64
import csv
import hashlib
import importlib.util
import io
import struct
import zipfile
from pathlib import Path

import pytest

HELPER = Path(__file__).resolve().parent.parent / "tools" / "cross_wheels.py"
if not HELPER.is_file():
    pytest.skip("tools/cross_wheels.py is not beside this copy of the tests", allow_module_level=True)
spec = importlib.util.spec_from_file_location("cross_wheels", HELPER)
cw = importlib.util.module_from_spec(spec)
spec.loader.exec_module(cw)

EXTERNAL, STATIC = 2, 3


def coff_object(symbols, bigobj=False, machine=0x8664):
    """A COFF object without sections holding SYMBOLS: (name, value, section,
    storage class, number of auxiliary records)."""
    strings = b""
    table = b""
    count = 0
    for name, value, section, storage, naux in symbols:
        raw = name.encode()
        if len(raw) <= 8:
            field = raw.ljust(8, b"\0")
        else:
            field = b"\0\0\0\0" + struct.pack("<I", 4 + len(strings))
            strings += raw + b"\0"
        if bigobj:
            table += struct.pack("<8sIiHBB", field, value, section, 0, storage, naux) + b"\0" * 20 * naux
        else:
            table += struct.pack("<8sIhHBB", field, value, section, 0, storage, naux) + b"\0" * 18 * naux
        count += 1 + naux
    if bigobj:
        header = struct.pack("<HHHHI16sIIIIIII", 0, 0xFFFF, 2, machine, 0, b"\0" * 16, 0, 0, 0, 0, 0, 56, count)
    else:
        header = struct.pack("<HHIIIHH", machine, 0, 0, 20, count, 0, 0)
    return header + table + struct.pack("<I", 4 + len(strings)) + strings


SYMBOLS = [
    ("__imp_PyLong_FromLong", 0, 0, EXTERNAL, 0),  # long name, string table
    ("memcpy", 0, 0, EXTERNAL, 0),  # short name, inline
    (".text", 0, 1, STATIC, 1),  # section symbol with an auxiliary record
    ("__imp__Py_NoneStruct", 0, 0, EXTERNAL, 0),
    ("PyInit_norbe", 16, 1, EXTERNAL, 0),  # defined: not an import
    ("common_block", 8, 0, EXTERNAL, 0),  # a common symbol (size 8) is defined
    ("__imp_malloc", 0, 0, EXTERNAL, 0),
]


@pytest.mark.parametrize("bigobj", [False, True], ids=["plain", "bigobj"])
def test_coff_undefined_reads_both_headers(bigobj):
    names = cw.coff_undefined(coff_object(SYMBOLS, bigobj))
    assert names == {"__imp_PyLong_FromLong", "memcpy", "__imp__Py_NoneStruct", "__imp_malloc"}
    assert cw.python_imports(names) == ["PyLong_FromLong", "_Py_NoneStruct"]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\x64\x86", "too short"),
        (coff_object(SYMBOLS, machine=0xAA64), "machine 0xaa64"),
        (coff_object(SYMBOLS)[:40], "past the end"),
    ],
    ids=["short", "arm64", "truncated"],
)
def test_coff_undefined_refuses(data, message):
    with pytest.raises(ValueError, match=message):
        cw.coff_undefined(data)


@pytest.mark.parametrize(
    "declaration, names",
    [
        ("PyAPI_DATA(PyTypeObject) PyFloat_Type;", {"PyFloat_Type"}),
        ("PyAPI_DATA(PyObject *) PyExc_TypeError;", {"PyExc_TypeError"}),
        ("PyAPI_DATA(int) (*PyOS_InputHook)(void);", {"PyOS_InputHook"}),
        ("PyAPI_DATA(const unsigned char) _Py_ascii_whitespace[];", {"_Py_ascii_whitespace"}),
        ("PyAPI_FUNC(PyObject *) PyLong_FromLong(long);", set()),
    ],
)
def test_data_declarations_marked_in_def(tmp_path, declaration, names):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "object.h").write_text(f"/* header */\n{declaration}\n")
    found = cw.header_data_names(tmp_path)
    assert found == names
    text = cw.def_text("python313.dll", ["PyLong_FromLong", *sorted(names)], found)
    lines = text.splitlines()
    assert lines[:3] == ["LIBRARY python313.dll", "EXPORTS", "    PyLong_FromLong"]
    assert lines[3:] == [f"    {name} DATA" for name in sorted(names)]


@pytest.mark.parametrize(
    "dll, names, allowed",
    [
        ("python313.dll", ["PyLong_FromLong", "_Py_NoneStruct"], True),
        ("PYTHON313.DLL", ["PyType_Ready"], True),
        ("python313.dll", ["PyType_Ready", "malloc"], False),
        ("python312.dll", ["PyType_Ready"], False),
        ("python3.dll", ["PyType_Ready"], False),
        ("KERNEL32.dll", ["GetCurrentThread"], True),
        ("ucrtbase.dll", ["malloc"], True),
        ("api-ms-win-crt-heap-l1-1-0.dll", ["malloc"], True),
        ("msvcrt.dll", ["malloc"], False),
        ("libstdc++-6.dll", ["_ZSt4cout"], False),
        ("libwinpthread-1.dll", ["pthread_create"], False),
        ("libc++.dll", ["_ZNSt3__14coutE"], False),
    ],
)
def test_windows_import_policy(dll, names, allowed):
    assert (cw.pe_import_problem(dll, names, "python313.dll") is None) is allowed


@pytest.mark.parametrize(
    "name, allowed",
    [
        ("_PyLong_FromLong", True),
        ("__Py_NoneStruct", True),
        ("_PyExc_TypeError", True),
        ("_malloc", False),
        ("__ZNSt3__14coutE", False),
        ("_norbe_api_record_Version", False),
    ],
)
def test_macos_dynamic_lookup_policy(name, allowed):
    assert (cw.dynamic_lookup_problem(name) is None) is allowed


@pytest.mark.parametrize(
    "exports, prefix, problems",
    [
        ({"PyInit_norbe", "norbe_api_record_Version"}, "", 0),
        ({"_PyInit_norbe", "_norbe_api_record_Version"}, "_", 0),
        ({"PyInit_norbe", "norbe_api_record_Version"}, "_", 2),
        ({"norbe_api_record_Version"}, "", 1),
        ({"PyInit_norbe"}, "", 1),
        ({"PyInit_norbe_extra", "norbe_api_record_Version"}, "", 1),
    ],
)
def test_export_problems(exports, prefix, problems):
    assert len(cw.export_problems(exports, prefix)) == problems


@pytest.mark.parametrize(
    "encoded, text", [(0x000D0300, "13.3"), (0x000E0000, "14.0"), (0x000A0F01, "10.15.1"), (0x000B0000, "11.0")]
)
def test_macho_version(encoded, text):
    assert cw.macho_version(encoded) == text


def uleb(value):
    out = bytearray()
    while True:
        byte, value = value & 0x7F, value >> 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


BIND_STREAM = (
    b"\x11" + b"\x40_malloc\0" + b"\x51" + b"\x72" + uleb(0x10) + b"\x90"  # libSystem, bind
    + b"\x3e" + b"\x40_PyLong_FromLong\0" + b"\xa0" + uleb(8)  # flat lookup, bind and skip
    + b"\x00"  # DONE between lazy bindings
    + b"\x20" + uleb(300) + b"\x40_far\0" + b"\x60" + uleb(3) + b"\xc0" + uleb(2) + uleb(8)
    + b"\x3f" + b"\x40_main_thing\0" + b"\xb1"  # main executable, bind scaled
    + b"\x30" + b"\x40_own\0" + b"\x90"  # this image
    + b"\x40_unbound\0" + b"\x80" + uleb(16)  # a symbol set but never bound
)


def test_bind_opcodes():
    assert cw.bind_opcodes(BIND_STREAM) == [
        ("_malloc", 1),
        ("_PyLong_FromLong", -2),
        ("_far", 300),
        ("_main_thing", -1),
        ("_own", 0),
    ]


@pytest.mark.parametrize("form", [1, 2, 3])
def test_chained_imports(form):
    imports = [("_PyType_Ready", -2), ("_free", 1), ("_PyExc_TypeError", -2), ("_main_thing", -1)]
    symbols = b"\0"
    offsets = []
    for name, _ in imports:
        offsets.append(len(symbols))
        symbols += name.encode() + b"\0"
    table = b""
    for (name, ordinal), offset in zip(imports, offsets):
        if form == 3:
            table += struct.pack("<IIQ", (ordinal & 0xFFFF), offset, 0)
        else:
            table += struct.pack("<I", (ordinal & 0xFF) | (offset << 9)) + (b"\0" * 4 if form == 2 else b"")
    header_size = 28
    data = struct.pack(
        "<7I", 0, 0, header_size, header_size + len(table), len(imports), form, 0
    ) + table + symbols
    assert cw.chained_imports(data) == imports


def make_tree(tmp_path):
    staging = tmp_path / "stage"
    (staging / "norbe-stubs" / "package").mkdir(parents=True)
    (staging / "norbe-stubs" / "__init__.pyi").write_text("x: int\n")
    (staging / "norbe-stubs" / "package" / "version.pyi").write_text("y: str\n")
    (staging / "norbe.cp313-win_amd64.pyd").write_bytes(bytes(range(256)) * 4)
    info = tmp_path / "meta" / "norbe-0.1.0.dist-info"
    (info / "licenses").mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.4\nName: norbe\nVersion: 0.1.0\n")
    (info / "licenses" / "LICENSE").write_text("MIT\n")
    (info / "WHEEL").write_text(
        "Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: false\nTag: cp312-cp312-linux_x86_64\n"
    )
    (info / "RECORD").write_text("stale,,\n")
    return staging, info


@pytest.mark.parametrize("tag", ["cp313-cp313-win_amd64", "cp312-cp312-macosx_13_0_arm64"])
def test_wheel_archive(tmp_path, tag):
    staging, info = make_tree(tmp_path)
    wheel = cw.make_wheel(tmp_path / "out", staging, info, tag)
    assert wheel.name == f"norbe-0.1.0-{tag}.whl"
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        assert len(names) == len(set(names))
        assert set(names) == {
            "norbe-stubs/__init__.pyi",
            "norbe-stubs/package/version.pyi",
            "norbe.cp313-win_amd64.pyd",
            "norbe-0.1.0.dist-info/METADATA",
            "norbe-0.1.0.dist-info/licenses/LICENSE",
            "norbe-0.1.0.dist-info/WHEEL",
            "norbe-0.1.0.dist-info/RECORD",
        }
        assert names[-1] == "norbe-0.1.0.dist-info/RECORD"
        wheel_file = archive.read("norbe-0.1.0.dist-info/WHEEL").decode()
        assert [line for line in wheel_file.splitlines() if line.startswith("Tag:")] == [f"Tag: {tag}"]
        assert "Root-Is-Purelib: false" in wheel_file
        rows = list(csv.reader(io.StringIO(archive.read("norbe-0.1.0.dist-info/RECORD").decode())))
        assert rows[-1] == ["norbe-0.1.0.dist-info/RECORD", "", ""]
        assert sorted(row[0] for row in rows) == sorted(names)
        for path, digest, size in rows[:-1]:
            data = archive.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, int(size)) == (f"sha256={expected}", len(data)), path
