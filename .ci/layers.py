#!/usr/bin/env python3
"""Checks the shape of src/ from its #include lines and its text alone.

1. Layers. Every folder of src/ has a place in LAYERS, lowest first. The
   include graph by folder (an arrow A -> B when a file of A includes a file
   of B) may point only down or within a folder: an arrow up, a folder that
   is not listed, or a cycle fails. The graph is printed either way.
2. Python-free folders. No file of PURE includes Python.h.
3. Portability. Compiler builtins and attributes, and POSIX or C library
   calls beyond the C++ standard, appear only in PLATFORM (the platform
   layer, which keeps each with its Windows counterpart).

    python3 .ci/layers.py [SRC]     (default: src/ beside .ci/)

Exit status 1 on any finding.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# Lowest first. A folder may include its own files and those of any folder
# before it.
LAYERS = [
    "core",  # the model in plain C++
    "process",  # process-wide services in plain C++ (log sink, stdout, thread numbers)
    "runtime",  # the binding machinery
    "convert",  # Python objects to and from the model's values; the class registry
    "package/constraint",  # the constraint classes and their comparison slot
    "spec",  # SpecOption (compares through the constraint classes' slot)
    "package",  # PackageOutline, Version
    ".",  # the module frame, the class lists, the API records
]
PURE = {"core", "process"}
PLATFORM = re.compile(r"^core/platform\.(hpp|cpp)$")

SOURCE_SUFFIXES = {".cpp", ".hpp", ".h", ".cc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)

# A call of the C library or the operating system by its plain name (not a
# member: no ".", "->" or class qualifier before it).
CALL = re.compile(
    r"(?<![\w.>:])(?:::)?(write|read|isatty|fileno|getpid|gettid|sysconf|mmap|munmap|prctl|dlopen|dlsym"
    r"|malloc_usable_size|malloc_size|_msize|_write|_isatty)\s*\("
)
DECLARED_AFTER = re.compile(r"([A-Za-z_]\w*|[*&>])\s*$")


def is_declaration(code: str, hit: re.Match) -> bool:
    """Whether the name is declared here (after a type: "void write(int)")
    rather than called (after "=", "(", "return", the start of a statement...)."""
    if hit.group(0).startswith("::"):
        return False
    before = DECLARED_AFTER.search(code, 0, hit.start())
    return before is not None and before.group(1) not in {"return", "co_return", "throw", "else", "do"}


# What only the platform layer may write (matched in code with comments and
# string literals removed).
NOT_PORTABLE = [
    (re.compile(r"\b__builtin_\w+"), "compiler builtin"),
    (re.compile(r"\b__attribute__\b"), "compiler attribute"),
    (re.compile(r"\[\[\s*(gnu|clang|msvc)::"), "compiler attribute"),
    (re.compile(r"\b__declspec\b"), "compiler attribute"),
    (re.compile(r"\b__forceinline\b"), "compiler attribute"),
    (re.compile(r"#\s*include\s*<(unistd|pthread|dlfcn|fcntl|malloc|windows|io|process)\.h>"), "system header"),
    (re.compile(r"#\s*include\s*<sys/"), "system header"),
    (CALL, "POSIX or C library call"),
    (re.compile(r"\bpthread_\w+"), "POSIX threads call"),
]


def strip_comments_and_strings(text: str) -> str:
    """The code with comments and the contents of string and character
    literals blanked (line breaks kept, so that line numbers still hold)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            open_paren = text.find("(", i + 2)
            delimiter = text[i + 2 : open_paren]
            j = text.find(")" + delimiter + '"', open_paren)
            j = n if j < 0 else j + len(delimiter) + 2
            out.append('""' + "\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def folder_of(relative: Path) -> str:
    parent = relative.parent.as_posix()
    return parent if parent else "."


def main(argv: list[str]) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    files = sorted(p for p in src.rglob("*") if p.suffix in SOURCE_SUFFIXES and p.is_file())
    rank = {folder: i for i, folder in enumerate(LAYERS)}
    findings: list[str] = []
    arrows: dict[str, dict[str, int]] = {}

    for path in files:
        relative = path.relative_to(src)
        folder = folder_of(relative)
        if folder not in rank:
            findings.append(f"{relative}: folder {folder!r} has no place in the layers")
            continue
        text = path.read_text(encoding="utf-8")
        for match in INCLUDE.finditer(text):
            kind, name = match.groups()
            line = text.count("\n", 0, match.start()) + 1
            if kind == "<":
                if name == "Python.h" and folder in PURE:
                    findings.append(f"{relative}:{line}: includes Python.h in a folder kept free of it")
                continue
            target = src / name
            if not target.is_file():
                findings.append(f'{relative}:{line}: "{name}" is no file of src/ (includes are written from src/)')
                continue
            to = folder_of(Path(name))
            if to == folder:
                continue
            arrows.setdefault(folder, {}).setdefault(to, 0)
            arrows[folder][to] += 1
            if to not in rank:
                findings.append(f"{relative}:{line}: includes {name}, in a folder that has no place in the layers")
            elif rank[to] > rank[folder]:
                findings.append(f"{relative}:{line}: includes {name}: an arrow up, {folder} -> {to}")
        if not PLATFORM.match(relative.as_posix()):
            code = strip_comments_and_strings(text)
            for pattern, what in NOT_PORTABLE:
                for hit in pattern.finditer(code):
                    if pattern is CALL and is_declaration(code, hit):
                        continue
                    line = code.count("\n", 0, hit.start()) + 1
                    findings.append(f"{relative}:{line}: {what} {hit.group(0).strip()!r} outside core/platform.*")

    # A cycle needs an arrow up, which is reported above; this finds one
    # among unlisted folders as well.
    def cycle_from(start: str) -> list[str] | None:
        stack = [(start, [start])]
        while stack:
            node, path = stack.pop()
            for to in arrows.get(node, {}):
                if to == start:
                    return path + [start]
                if to not in path:
                    stack.append((to, path + [to]))
        return None

    for folder in sorted(arrows):
        if (cycle := cycle_from(folder)) is not None:
            findings.append("cycle: " + " -> ".join(cycle))
            break

    print("include graph of src/ by folder (arrows point down; count of #include lines):")
    for folder in sorted(arrows, key=lambda f: -rank.get(f, len(LAYERS))):
        targets = sorted(arrows[folder].items(), key=lambda item: -rank.get(item[0], len(LAYERS)))
        print(f"  {folder:<20} -> " + ", ".join(f"{to} ({count})" for to, count in targets))
    for finding in findings:
        print(f"layers: {finding}", file=sys.stderr)
    if findings:
        return 1
    print(f"layers: {len(files)} files, {len(LAYERS)} layers, no arrow up, no non-portable code outside core/platform.*")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
