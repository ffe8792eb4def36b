"""Describes a small dependency stack with norbe and prints a one-line summary.

Each package declares its version and build options, the defaults of the
options it leaves open, and the rules between its options and the packages it
depends on: plain dependencies, "exactly one of" alternatives, implications and
an optimisation goal.
"""

from __future__ import annotations

from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from norbe.package.outline import PackageOutline
from norbe.package.version import Version

Constraint = Cmp | Depends | IfThen | Maximize | Minimize | NumOf | SpecOption | Value
OptionValue = bool | int | float | str | Version


class Stack:
    """Collects package outlines and counts what they declare."""

    def __init__(self) -> None:
        self.outlines: dict[str, PackageOutline] = {}
        self.versions: dict[str, Version] = {}
        self.constraints = 0
        self.options = 0
        self.defaults = 0

    def add(
        self,
        name: str,
        version: str,
        constraints: list[Constraint],
        options: dict[str, OptionValue],
        defaults: dict[str, OptionValue | None],
    ) -> None:
        parsed = Version(version)
        options = {"version": parsed, **options}
        self.outlines[name] = PackageOutline(name, constraints, set_options=options, set_defaults=defaults)
        self.versions[name] = parsed
        self.constraints += len(constraints)
        self.options += len(options)
        self.defaults += len(defaults)

    def summary(self) -> str:
        names = ", ".join(f"{name} {self.versions[name]}" for name in sorted(self.outlines))
        return (
            f"described {len(self.outlines)} packages ({names}): {self.constraints} constraints, "
            f"{self.options} option settings, {self.defaults} defaults"
        )


def main() -> None:
    stack = Stack()
    stack.add(
        "zlib",
        "1.3.1",
        constraints=[Minimize(NumOf([Depends("cmake")]))],
        options={"shared": True},
        defaults={"optimize": "O2", "prefix": None},
    )
    stack.add(
        "openssl",
        "3.2.1",
        constraints=[
            Depends("zlib"),
            # Built with compression, openssl follows zlib's linkage.
            (Depends("zlib") == True).if_then(  # noqa: E712 -- builds a constraint
                SpecOption("openssl", "zlib_shared") == SpecOption("zlib", "shared")
            ),
        ],
        options={"threads": True, "fips": False},
        defaults={"opt_level": 2, "no_asm": False},
    )
    # Exactly one TLS backend, at least one compression library, and as many
    # optional protocol libraries as the rest of the stack allows.
    tls = NumOf([Depends("openssl"), Depends("gnutls"), Depends("mbedtls")]) == 1
    compression = 1 <= NumOf([Depends("zlib"), Depends("brotli"), Depends("zstd")])
    stack.add(
        "curl",
        "8.6.0-rc2",
        constraints=[
            tls,
            compression,
            (Depends("openssl") == True).if_then(  # noqa: E712 -- builds a constraint
                SpecOption("curl", "openssl_version") >= SpecOption("openssl", "version")
            ),
            Cmp(SpecOption("curl", "http3"), SpecOption("ngtcp2", "enabled"), CmpType.LessOrEqual),
            Maximize(NumOf([Depends("nghttp2"), Depends("libssh2"), Depends("libidn2")])),
        ],
        options={"http2": True, "max_redirects": 50},
        defaults={"ca_bundle": "/etc/ssl/certs/ca-certificates.crt", "timeout": 30.0, "ipv6": True, "proxy": None},
    )
    print(stack.summary())


if __name__ == "__main__":
    main()
