"""Finding, reading and parsing a Debian ``Packages`` index into plain records.

The parse happens once, before any timing: the workload measures turning
records into outlines, not reading text. A record is a tuple

    (name, version, version_parses, architecture, priority, size, groups, conflicts)

where ``groups`` holds one tuple per comma-separated dependency (``Depends``
and ``Pre-Depends``), each a tuple of alternatives ``(name, op, version,
version_parses)`` with ``op`` an index into OPERATORS or -1 for an
unversioned one, and ``conflicts`` holds the names of the ``Conflicts`` field.
"""

import bz2
import gzip
import lzma
import os
import re
import shutil
import subprocess

from baseline import parse_version

# Debian relation operators, in the order of CmpType's members used for them.
# "<" and ">" are the obsolete spellings of "<=" and ">=".
OPERATORS = {"<<": 0, "<=": 1, "<": 1, "=": 2, ">=": 3, ">": 3, ">>": 4}
# CmpType member names for the indices above.
OPERATOR_NAMES = ("Less", "LessOrEqual", "Equal", "GreaterOrEqual", "Greater")

_RELATION = re.compile(r"^\s*([^\s(\[<:]+)(?::[A-Za-z0-9-]+)?\s*(?:\(\s*([<>=]+)\s*([^\s)]+)\s*\))?")


def find_index():
    """The path of the largest Packages index that apt knows of, or None."""
    if shutil.which("apt-get") is None:
        return None
    try:
        out = subprocess.run(
            ["apt-get", "indextargets", "--format", "$(FILENAME)", "Identifier: Packages"],
            capture_output=True,
            text=True,
            timeout=60,
        ).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    paths = [p for p in out.split() if os.path.exists(p)]
    return max(paths, key=os.path.getsize) if paths else None


def read_text(path):
    """The index text; the file may be plain or lz4-, gzip-, xz- or bzip2-compressed."""
    if path.endswith(".lz4"):
        helper = "/usr/lib/apt/apt-helper"
        command = [helper, "cat-file", path] if os.path.exists(helper) else ["lz4", "-dc", path]
        data = subprocess.run(command, capture_output=True, check=True).stdout
    elif path.endswith(".gz"):
        data = gzip.open(path).read()
    elif path.endswith((".xz", ".lzma")):
        data = lzma.open(path).read()
    elif path.endswith(".bz2"):
        data = bz2.open(path).read()
    else:
        with open(path, "rb") as f:
            data = f.read()
    return data.decode("utf-8", errors="replace")


def _parses(text):
    try:
        parse_version(text)
    except ValueError:
        return False
    return True


def _relations(field, parses):
    groups = []
    for group in field.split(","):
        alternatives = []
        for alternative in group.split("|"):
            match = _RELATION.match(alternative)
            if match is None:
                continue
            name, op, version = match.groups()
            if op is None or op not in OPERATORS:
                alternatives.append((name, -1, "", False))
            else:
                alternatives.append((name, OPERATORS[op], version, parses(version)))
        if alternatives:
            groups.append(tuple(alternatives))
    return groups


def parse_index(text):
    """Records for every stanza of the index that names a package."""
    cache = {}

    def parses(version):
        known = cache.get(version)
        if known is None:
            known = cache[version] = _parses(version)
        return known

    records = []
    for stanza in text.split("\n\n"):
        fields = {}
        key = None
        for line in stanza.split("\n"):
            if not line:
                continue
            if line[0] in " \t":
                if key is not None:
                    fields[key] += " " + line.strip()
                continue
            key, _, value = line.partition(":")
            fields[key] = value.strip()
        name = fields.get("Package")
        if not name:
            continue
        version = fields.get("Version", "0")
        groups = _relations(fields.get("Pre-Depends", ""), parses) + _relations(
            fields.get("Depends", ""), parses
        )
        conflicts = tuple(
            alt[0] for group in _relations(fields.get("Conflicts", ""), parses) for alt in group
        )
        size = fields.get("Size", "0")
        records.append(
            (
                name,
                version,
                parses(version),
                fields.get("Architecture", ""),
                fields.get("Priority", ""),
                int(size) if size.isdigit() else 0,
                tuple(groups),
                conflicts,
            )
        )
    return records


def describe(records):
    """Counts that characterise a workload."""
    groups = sum(len(r[6]) for r in records)
    alternatives = sum(len(g) for r in records for g in r[6])
    versioned = sum(1 for r in records for g in r[6] for a in g if a[1] >= 0)
    return {
        "packages": len(records),
        "dependencies": groups,
        "with_alternatives": sum(1 for r in records for g in r[6] if len(g) > 1),
        "relations": alternatives,
        "versioned": versioned,
        "conflicts": sum(len(r[7]) for r in records),
        "unparsed_versions": sum(1 for r in records if not r[2])
        + sum(1 for r in records for g in r[6] for a in g if a[1] >= 0 and not a[3]),
    }
