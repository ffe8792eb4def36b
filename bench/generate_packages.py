"""A generated ``Packages`` index of the same shape as Debian's, for machines without one.

The proportions follow the bookworm amd64 main index: about 4.4 dependency
groups per package (12 % have none, a long tail up to a few hundred), 2.5 %
of the groups with alternatives, 55 % of the relations versioned (mostly
``>=``), 5 % of the packages with conflicts, names of 15 characters on
average (a third longer than 15), and about 17 % of the version texts in
forms that do not parse as a Version (epochs "1:2.3-4", tildes "1.0~rc1").

    python bench/generate_packages.py > Packages          # 63,000 packages
    python bench/generate_packages.py --packages 1000
"""

import argparse
import random
import sys

_SYLLABLES = (
    "lib",
    "gnu",
    "x",
    "py",
    "perl",
    "qt",
    "gtk",
    "core",
    "util",
    "net",
    "ssl",
    "data",
    "doc",
    "dev",
)
_WORDS = (
    "boost", "glib", "curl", "xml", "yaml", "json", "zstd", "png", "jpeg", "font", "sound", "gl", "audio",
    "crypt", "python3", "ruby", "node", "java", "go", "haskell", "ocaml", "tcl", "lua", "sql", "ldap",
)  # fmt: skip
_SUFFIXES = ("", "", "", "-dev", "-common", "-data", "-doc", "-bin", "-tools", "1", "2", "6", "-1.0-0")
_OPERATORS = (">=",) * 86 + ("=",) * 11 + ("<<",) * 2 + (">>",)


def _name(rng):
    parts = [rng.choice(_SYLLABLES) if rng.random() < 0.5 else "", rng.choice(_WORDS)]
    if rng.random() < 0.5:
        parts.append("-" + rng.choice(_WORDS))
    if rng.random() < 0.6:
        parts.append(
            f"{rng.randrange(10)}.{rng.randrange(100)}" if rng.random() < 0.3 else str(rng.randrange(1000))
        )
    parts.append(rng.choice(_SUFFIXES))
    return "".join(parts)


def _version(rng):
    numbers = ".".join(str(rng.randrange(30)) for _ in range(rng.choice((1, 2, 2, 3, 3, 4))))
    roll = rng.random()
    if roll < 0.07:
        numbers = f"{rng.randrange(1, 4)}:{numbers}"  # epoch: does not parse
    elif roll < 0.17:
        numbers += "~rc" + str(rng.randrange(5))  # tilde: does not parse
    elif roll < 0.32:
        numbers += rng.choice(("+dfsg", "+ds", "+really", "+git20230101"))
    if rng.random() < 0.6:
        numbers += f"-{rng.randrange(1, 9)}"
    return numbers


def _relation(rng, names):
    name = rng.choice(names)
    if rng.random() < 0.55:
        return f"{name} ({rng.choice(_OPERATORS)} {_version(rng)})"
    return name


def _group_count(rng):
    if rng.random() < 0.12:
        return 0
    count = 1 + int(rng.expovariate(1 / 4.5))
    return min(count, 300)


def generate(packages=63000, seed=1):
    """The text of a Packages index with `packages` stanzas."""
    rng = random.Random(seed)
    unique = set()
    while len(unique) < packages:
        unique.add(_name(rng))
    names = sorted(unique)
    rng.shuffle(names)
    stanzas = []
    for name in names:
        lines = [
            f"Package: {name}",
            f"Version: {_version(rng)}",
            f"Architecture: {rng.choice(('amd64', 'all'))}",
        ]
        groups = []
        for _ in range(_group_count(rng)):
            alternatives = 1 if rng.random() < 0.975 else rng.choice((2, 2, 2, 3))
            groups.append(" | ".join(_relation(rng, names) for _ in range(alternatives)))
        if groups:
            lines.append("Depends: " + ", ".join(groups))
        if rng.random() < 0.05:
            conflicts = ", ".join(_relation(rng, names) for _ in range(rng.choice((1, 1, 2, 3))))
            lines.append(f"Conflicts: {conflicts}")
        lines.append("Priority: " + ("optional" if rng.random() < 0.995 else "extra"))
        lines.append(f"Size: {int(rng.lognormvariate(11, 2))}")
        stanzas.append("\n".join(lines))
    return "\n\n".join(stanzas) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--packages", type=int, default=63000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    sys.stdout.write(generate(args.packages, args.seed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
