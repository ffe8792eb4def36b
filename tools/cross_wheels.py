"""Helpers of tools/cross_wheels.sh: the Windows import library's .def, the
checks of the cross-built binaries, and the wheel archive itself.

    cross_wheels.py def DLL OUT.def HEADERS OBJECT...
        the .def of every Python symbol the COFF objects import (__imp_...);
        the names the public headers declare as data are marked DATA.
    cross_wheels.py check-pe FILE PYTHON_DLL
    cross_wheels.py check-macho FILE ARCH MIN_OS
        each prints what it checked and exits 1 on any violation.
    cross_wheels.py wheel OUTDIR STAGING DIST_INFO TAG
        zips STAGING plus a copy of the DIST_INFO folder (WHEEL rewritten
        for TAG, RECORD added) into OUTDIR.

pefile and macholib (pure Python) are imported only by the checks.
"""

from __future__ import annotations

import base64
import hashlib
import os
import re
import struct
import sys
import zipfile
from pathlib import Path

# ---------------------------------------------------------------- COFF objects

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_SYM_CLASS_EXTERNAL = 2
IMPORT_PREFIX = "__imp_"


def coff_undefined(data: bytes) -> set[str]:
    """Names of the external symbols a COFF object leaves undefined.

    Reads both the plain header and the "bigobj" one (32-bit section numbers),
    which clang writes for objects with very many sections."""
    if len(data) >= 56 and data[:4] == b"\x00\x00\xff\xff":
        machine, = struct.unpack_from("<H", data, 6)
        symtab, nsyms = struct.unpack_from("<II", data, 48)
        entry, section_fmt = 20, "<i"
    elif len(data) >= 20:
        machine, _, _, symtab, nsyms = struct.unpack_from("<HHIII", data, 0)
        entry, section_fmt = 18, "<h"
    else:
        raise ValueError("not a COFF object: too short")
    if machine != IMAGE_FILE_MACHINE_AMD64:
        raise ValueError(f"not an x86-64 COFF object (machine {machine:#x})")
    strings = symtab + nsyms * entry
    if strings > len(data):
        raise ValueError("symbol table past the end of the object")
    names = set()
    index = 0
    while index < nsyms:
        at = symtab + index * entry
        raw = data[at : at + 8]
        value, = struct.unpack_from("<I", data, at + 8)
        section, = struct.unpack_from(section_fmt, data, at + 12)
        size = struct.calcsize(section_fmt)
        storage, naux = data[at + 12 + size + 2], data[at + 12 + size + 3]
        if storage == IMAGE_SYM_CLASS_EXTERNAL and section == 0 and value == 0:
            if raw[:4] == b"\0\0\0\0":
                offset, = struct.unpack_from("<I", raw, 4)
                end = data.index(b"\0", strings + offset)
                name = data[strings + offset : end].decode()
            else:
                name = raw.rstrip(b"\0").decode()
            names.add(name)
        index += 1 + naux
    return names


def python_imports(undefined: set[str]) -> list[str]:
    """The Python API names among the __imp_ references of the objects."""
    out = set()
    for name in undefined:
        if name.startswith(IMPORT_PREFIX):
            bare = name[len(IMPORT_PREFIX) :]
            if is_python_symbol(bare):
                out.add(bare)
    return sorted(out)


def is_python_symbol(name: str) -> bool:
    """The interpreter's exported names all begin with Py or _Py."""
    return name.startswith(("Py", "_Py"))


DATA_DECLARATION = re.compile(r"PyAPI_DATA\s*\([^;]*?\)\s*\(?\s*\*?\s*(\w+)")


def header_data_names(headers: Path) -> set[str]:
    """Names the public headers declare with PyAPI_DATA."""
    names = set()
    for header in headers.rglob("*.h"):
        names.update(DATA_DECLARATION.findall(header.read_text(errors="replace")))
    return names


def def_text(dll: str, names: list[str], data: set[str]) -> str:
    lines = [f"LIBRARY {dll}", "EXPORTS"]
    lines += [f"    {name} DATA" if name in data else f"    {name}" for name in names]
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- PE checks

SYSTEM_DLL = re.compile(r"(kernel32|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll", re.IGNORECASE)


def pe_import_problem(dll: str, names: list[str], python_dll: str) -> str | None:
    """Why importing NAMES from DLL is not allowed in the module, or None."""
    if dll.lower() == python_dll.lower():
        foreign = [name for name in names if not is_python_symbol(name)]
        return f"{dll} asked for non-Python names {foreign}" if foreign else None
    if SYSTEM_DLL.fullmatch(dll):
        return None
    return f"imports from {dll} (only {python_dll} and the system DLLs are allowed)"


def check_pe(path: str, python_dll: str) -> list[str]:
    import pefile

    pe = pefile.PE(path)
    problems = []
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine {pe.FILE_HEADER.Machine:#x}, not AMD64")
    if not pe.is_dll():
        problems.append("not a DLL")
    exports = {
        symbol.name.decode()
        for symbol in getattr(getattr(pe, "DIRECTORY_ENTRY_EXPORT", None), "symbols", [])
        if symbol.name
    }
    problems += export_problems(exports, "")
    imports = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = [imp.name.decode() if imp.name else f"#{imp.ordinal}" for imp in entry.imports]
        imports[entry.dll.decode()] = names
    for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
        problems.append(f"delay-loads {entry.dll.decode()}")
    if python_dll.lower() not in {dll.lower() for dll in imports}:
        problems.append(f"does not import {python_dll}")
    for dll, names in imports.items():
        problem = pe_import_problem(dll, names, python_dll)
        if problem:
            problems.append(problem)
    print(f"  PE32+ AMD64 DLL; exports {len(exports)} names; imports {', '.join(sorted(imports))}")
    return problems


def export_problems(exports: set[str], prefix: str) -> list[str]:
    """The module must export its init function and its API records."""
    problems = []
    if prefix + "PyInit_norbe" not in exports:
        problems.append("PyInit_norbe is not exported")
    if not any(name.startswith(prefix + "norbe_api_record_") for name in exports):
        problems.append("no norbe_api_record_* symbol is exported")
    return problems


# ---------------------------------------------------------------- Mach-O checks

MACHO_CPU = {"arm64": 0x0100000C, "x86_64": 0x01000007}
CPU_NAMES = {value: name for name, value in MACHO_CPU.items()}
MH_DYLIB, MH_BUNDLE = 6, 8
N_TYPE, N_UNDF, N_EXT = 0x0E, 0x0, 0x01
MACHO_SYSTEM_LIBRARIES = ("/usr/lib/libSystem.B.dylib",)


def macho_version(encoded: int) -> str:
    """X.Y.Z nibble-encoded as xxxx.yy.zz, written the way tags use it."""
    major, minor, patch = encoded >> 16, (encoded >> 8) & 0xFF, encoded & 0xFF
    return f"{major}.{minor}" + (f".{patch}" if patch else "")


def dynamic_lookup_problem(name: str) -> str | None:
    """A symbol left to the loading process must be the interpreter's own."""
    bare = name[1:] if name.startswith("_") else name
    return None if is_python_symbol(bare) else f"{name} is left to dynamic lookup"


def uleb128(data: bytes, at: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def bind_opcodes(data: bytes) -> list[tuple[str, int]]:
    """(symbol, library ordinal) of each binding in a dyld bind-opcode stream
    (regular, weak or lazy). Special ordinals are negative: -2 is a flat
    lookup in the loading process, which -undefined dynamic_lookup asks for."""
    binds = []
    ordinal, symbol, at = 0, "", 0
    while at < len(data):
        opcode, immediate = data[at] & 0xF0, data[at] & 0x0F
        at += 1
        if opcode == 0x00:  # DONE (ends one lazy binding; more may follow)
            continue
        if opcode == 0x10:  # SET_DYLIB_ORDINAL_IMM
            ordinal = immediate
        elif opcode == 0x20:  # SET_DYLIB_ORDINAL_ULEB
            ordinal, at = uleb128(data, at)
        elif opcode == 0x30:  # SET_DYLIB_SPECIAL_IMM (sign-extended)
            ordinal = immediate - 16 if immediate else 0
        elif opcode == 0x40:  # SET_SYMBOL_TRAILING_FLAGS_IMM
            end = data.index(b"\0", at)
            symbol, at = data[at:end].decode(), end + 1
        elif opcode in (0x60, 0x70, 0x80, 0xA0):  # addend, segment+offset, add address
            _, at = uleb128(data, at)
        elif opcode == 0xC0:  # DO_BIND_ULEB_TIMES_SKIPPING_ULEB
            _, at = uleb128(data, at)
            _, at = uleb128(data, at)
        elif opcode == 0xD0 and immediate == 0:  # THREADED: SET_BIND_ORDINAL_TABLE_SIZE_ULEB
            _, at = uleb128(data, at)
        if opcode in (0x90, 0xA0, 0xB0, 0xC0):  # the DO_BIND family
            binds.append((symbol, ordinal))
    return binds


def chained_imports(data: bytes) -> list[tuple[str, int]]:
    """(symbol, library ordinal) of the imports of an LC_DYLD_CHAINED_FIXUPS
    payload, ordinals sign-extended as in bind_opcodes."""
    _, _, imports_at, symbols_at, count, form, _ = struct.unpack_from("<7I", data, 0)
    out = []
    for index in range(count):
        if form == 3:  # DYLD_CHAINED_IMPORT_ADDEND64
            raw, name_offset = struct.unpack_from("<II", data, imports_at + 16 * index)
            ordinal = raw & 0xFFFF
            ordinal = ordinal - 0x10000 if ordinal >= 0xFFF0 else ordinal
        else:  # DYLD_CHAINED_IMPORT (1) and _ADDEND (2)
            raw, = struct.unpack_from("<I", data, imports_at + (4 if form == 1 else 8) * index)
            ordinal, name_offset = raw & 0xFF, raw >> 9
            ordinal = ordinal - 0x100 if ordinal >= 0xF0 else ordinal
        end = data.index(b"\0", symbols_at + name_offset)
        out.append((data[symbols_at + name_offset : end].decode(), ordinal))
    return out


FLAT_LOOKUP_ORDINAL = -2


def check_macho(path: str, arch: str, min_os: str) -> list[str]:
    from macholib import mach_o
    from macholib.MachO import MachO
    from macholib.SymbolTable import SymbolTable

    raw = Path(path).read_bytes()
    macho = MachO(path)
    problems = []
    if len(macho.headers) != 1:
        return [f"{len(macho.headers)} architectures in one file"]
    header = macho.headers[0]
    if header.header.cputype != MACHO_CPU[arch]:
        problems.append(f"cpu type {header.header.cputype:#x}, not {arch}")
    if header.header.filetype not in (MH_BUNDLE, MH_DYLIB):
        problems.append(f"file type {header.header.filetype}, not a bundle or dylib")
    libraries, minos, binds = [], None, []
    for command, body, data in header.commands:
        if command.cmd in (mach_o.LC_LOAD_DYLIB, mach_o.LC_LOAD_WEAK_DYLIB, mach_o.LC_REEXPORT_DYLIB):
            libraries.append(data.rstrip(b"\0").decode())
        elif command.cmd == mach_o.LC_BUILD_VERSION:
            minos = macho_version(body.minos)
        elif command.cmd == mach_o.LC_VERSION_MIN_MACOSX:
            minos = macho_version(body.version)
        elif command.cmd in (mach_o.LC_DYLD_INFO, mach_o.LC_DYLD_INFO_ONLY):
            for offset, size in (
                (body.bind_off, body.bind_size),
                (body.weak_bind_off, body.weak_bind_size),
                (body.lazy_bind_off, body.lazy_bind_size),
            ):
                binds += bind_opcodes(raw[offset : offset + size])
        elif command.cmd == mach_o.LC_DYLD_CHAINED_FIXUPS:
            binds += chained_imports(raw[body.dataoff : body.dataoff + body.datasize])
    for library in libraries:
        if library not in MACHO_SYSTEM_LIBRARIES:
            problems.append(f"links {library} (only libSystem is allowed)")
    if minos != min_os:
        problems.append(f"minimum macOS {minos}, not {min_os}")
    table = SymbolTable(macho, header)
    defined = set()
    for entry, name in table.nlists:
        if entry.n_type & N_EXT and entry.n_type & N_TYPE != N_UNDF:
            defined.add(name.decode() if isinstance(name, bytes) else name)
    problems += export_problems(defined, "_")
    lookups = sorted({symbol for symbol, ordinal in binds if ordinal == FLAT_LOOKUP_ORDINAL})
    for name in lookups:
        problem = dynamic_lookup_problem(name)
        if problem:
            problems.append(problem)
    for symbol, ordinal in binds:
        if ordinal > len(libraries) or (ordinal < 0 and ordinal != FLAT_LOOKUP_ORDINAL):
            problems.append(f"{symbol} is bound to library ordinal {ordinal}")
    if not any(is_python_symbol(name[1:]) for name in lookups):
        problems.append("the interpreter's API is not left to dynamic lookup")
    print(
        f"  Mach-O {CPU_NAMES.get(header.header.cputype, hex(header.header.cputype))} "
        f"{'bundle' if header.header.filetype == MH_BUNDLE else 'dylib'}, macOS {minos}; "
        f"links {', '.join(libraries)}; {len(lookups)} names from the interpreter"
    )
    return problems


# ---------------------------------------------------------------- wheels


def record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode()


def wheel_text(template: str, tag: str) -> str:
    """The WHEEL file of the template with its tags replaced by TAG."""
    lines = [line for line in template.splitlines() if line and not line.startswith("Tag:")]
    return "\n".join(lines + [f"Tag: {tag}"]) + "\n"


def make_wheel(outdir: Path, staging: Path, dist_info: Path, tag: str) -> Path:
    """Writes NAME-VERSION-TAG.whl: the files of STAGING, then DIST_INFO's."""
    name, version = dist_info.name[: -len(".dist-info")].rsplit("-", 1)
    files: dict[str, bytes] = {}
    for base, top in ((staging, staging), (dist_info.parent, dist_info)):
        for path in sorted(top.rglob("*")):
            if path.is_file() and path.name not in ("RECORD", "WHEEL"):
                files[path.relative_to(base).as_posix()] = path.read_bytes()
    info = dist_info.name
    files[f"{info}/WHEEL"] = wheel_text((dist_info / "WHEEL").read_text(), tag).encode()
    record = f"{info}/RECORD"
    lines = [f"{arcname},{record_hash(data)},{len(data)}" for arcname, data in files.items()]
    files[record] = ("\n".join(lines + [f"{record},,"]) + "\n").encode()
    outdir.mkdir(parents=True, exist_ok=True)
    wheel = outdir / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for arcname, data in files.items():
            entry = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    return wheel


# ---------------------------------------------------------------- command line


def main(argv: list[str]) -> int:
    command, args = argv[0], argv[1:]
    if command == "def":
        dll, out, headers, objects = args[0], Path(args[1]), Path(args[2]), args[3:]
        undefined = set()
        for obj in objects:
            undefined |= coff_undefined(Path(obj).read_bytes())
        names = python_imports(undefined)
        out.write_text(def_text(dll, names, header_data_names(headers)))
        print(f"  {out.name}: {len(names)} names from {dll}")
        return 0
    if command in ("check-pe", "check-macho"):
        problems = check_pe(*args) if command == "check-pe" else check_macho(*args)
        for problem in problems:
            print(f"  {os.path.basename(args[0])}: {problem}", file=sys.stderr)
        return 1 if problems else 0
    if command == "wheel":
        wheel = make_wheel(Path(args[0]), Path(args[1]), Path(args[2]), args[3])
        print(f"  {wheel.name}")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
