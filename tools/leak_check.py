"""Leak check: runs every operation of the module, failure paths included, many
times over and shows that nothing grows once it is warmed up.

Measured after each phase of rounds, with the collector run first:
  - sys.getallocatedblocks(): the interpreter's live memory blocks, so every
    leaked Python object (the module's own objects included, which the
    collector does not track) shows up;
  - the process's resident size, for the module's own C++ allocations;
  - the reference counts of the argument objects the operations reuse.
A leak of one block or one small node per operation grows the first or the
second by far more than the allowed slack over a phase.

With a build made with NORBE_FAULT_INJECTION=ON every round also makes the
module's C++ allocations fail at several points of several operations.

Usage: python tools/leak_check.py [--rounds N] [--phases N]
Exit status 1 when something grew.
"""

import argparse
import ctypes
import gc
import os
import queue
import sys
import threading

import norbe
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption
from norbe.package.outline import PackageOutline
from norbe.package.version import Version

BLOCK_SLACK = 200  # blocks: caches of the interpreter settle within this
RSS_SLACK = 1 << 20  # bytes per phase


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result


class Sequence:
    def __init__(self, items, length_error=None, iter_error=None):
        self.items, self.length_error, self.iter_error = items, length_error, iter_error

    def __len__(self):
        if self.length_error:
            raise ValueError("length")
        return len(self.items)

    def __iter__(self):
        if self.iter_error:
            raise ValueError("iteration")
        return iter(self.items)

    def __getitem__(self, index):
        return self.items[index]


def panic_type():
    caught = []
    it = IfThen(1, 2)
    thread = threading.Thread(target=lambda: caught.append(attempt(lambda: it.cond)))
    thread.start()
    thread.join()
    return type(caught[0])


def attempt(call):
    try:
        return call()
    except BaseException as exc:  # noqa: BLE001 - every failure path is a path to run
        return exc.with_traceback(None)


def changing_dict():
    d = {}
    d["a"] = Index(1)
    d["a"].result = 1
    d["b"] = 2

    class Grow:
        def __index__(self):
            d["new"] = 1
            return 1

    d["a"] = Grow()
    return d


def operations(panic):
    v = Cmp(Depends("a"), 1, CmpType.Equal).rhs
    c = Cmp(SpecOption("p", "o"), SpecOption("q", "o"), CmpType.Less)

    def reentrant_write():
        def hook():
            attempt(lambda: setattr(v, "value", 3))  # "Already borrowed"
            return 2

        return v < Index(hook())

    ops = [
        lambda: (str(Version("1.2-rc1+b5.18446744073709551616.*")), repr(Version("007.>"))),
        lambda: Version("1..2"),
        lambda: Version('1.a"b\u0301'),
        lambda: Version(5),
        lambda: Version("\ud800"),
        lambda: Version(),
        lambda: Version("1", x=1),
        lambda: SpecOption("p" * 30, "o"),
        lambda: SpecOption(1, "o"),
        lambda: Depends(None),
        lambda: Cmp(SpecOption("p", "o"), 2.5, CmpType.Less),
        lambda: Cmp(1, 2),
        lambda: Cmp(1, 2, 3),
        lambda: Cmp([], 1, CmpType.Less),
        lambda: IfThen(Depends("a"), NumOf([1, "s", Version("1.2"), True, 2**63, Index(4)])),
        lambda: IfThen({}, 1),
        lambda: Maximize(Minimize(NumOf([]))),
        lambda: Minimize(object()),
        lambda: NumOf("ab"),
        lambda: NumOf(5),
        lambda: NumOf([1, Depends("a"), None]),
        lambda: NumOf(Sequence([1, 2], length_error=True)),
        lambda: NumOf(Sequence([1, 2], iter_error=True)),
        lambda: Maximize(Index(ValueError("x"))),
        lambda: Maximize(Index(panic("boom"))),  # resumed internal failure
        lambda: PackageOutline("p", [c, 1], {"i": 1, "f": 2.5, "s": "s", "v": Version("1"), "b": True}, {"n": None}),
        lambda: PackageOutline("p", set_options={"o": None}),
        lambda: PackageOutline("p", set_defaults={1: 1}),
        lambda: PackageOutline("p", unexpected=1),
        lambda: PackageOutline("p", set_options=changing_dict()),
        lambda: [getattr(obj, op)(other) for obj in (c, v, Depends("d"), NumOf([1]), Maximize(1), IfThen(1, 2))
                 for other in (1, c, "s", None) for op in ("__lt__", "__eq__", "__ge__", "__ne__")],
        lambda: 3 < NumOf([Depends("x")]),
        lambda: SpecOption("a", "b") < 3,
        lambda: SpecOption("a", "b") < object(),
        lambda: (c.lhs, c.rhs, repr(c.op), int(c.op), v.value, NumOf([c, v]).of, IfThen(1, 2).then),
        lambda: (Maximize(1).item, Minimize(2).item, Depends("d").on, SpecOption("p", "o").option_name),
        lambda: setattr(Cmp(1, 2, CmpType.Less), "lhs", NumOf([1])),
        lambda: setattr(Cmp(1, 2, CmpType.Less), "op", 3),
        lambda: setattr(Depends("d"), "on", 5),
        lambda: setattr(v, "value", [1]),
        lambda: setattr(v, "value", v.value),
        lambda: delattr(Maximize(1), "item"),
        lambda: setattr(NumOf([]), "of", Sequence([1, c])),
        reentrant_write,
        lambda: (Depends("a") == True).if_then(Depends("b")),  # noqa: E712
        lambda: c.if_then(None),
    ]
    try:
        import numpy as np

        ops.append(lambda: Maximize(np.bool_(True)))
    except ImportError:
        pass
    return ops


class Foreign:
    """A thread that uses an IfThen created here: the internal failure path."""

    def __init__(self):
        self.owned = IfThen(Depends("c"), 2)
        self.requests, self.replies = queue.Queue(), queue.Queue()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while (use := self.requests.get()) is not None:
            self.replies.put(type(attempt(lambda: use(self.owned))).__name__)

    def use(self):
        for use in (lambda it: it.cond, lambda it: Maximize(it), lambda it: setattr(it, "then", 1)):
            self.requests.put(use)
            self.replies.get()

    def stop(self):
        self.requests.put(None)
        self.thread.join()


def fault_hook():
    try:
        arm = ctypes.PyDLL(norbe.__file__).norbe_fault_injection_arm
    except AttributeError:
        return None
    arm.restype = ctypes.c_long
    arm.argtypes = [ctypes.c_long, ctypes.c_int]
    return arm


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=400, help="rounds per phase")
    parser.add_argument("--phases", type=int, default=3)
    args = parser.parse_args()

    arm = fault_hook()
    probes = [Index(1), Sequence([1, 2]), Version("1"), Depends("a")]

    def round_():
        for op in ops:
            attempt(op)
            for probe in probes:
                attempt(lambda: Maximize(probe))
        foreign.use()
        if arm is not None:
            for i, op in enumerate(ops):
                arm(i % 11, i % 2)  # one failure, or every allocation from there on
                attempt(op)
                arm(-1, 0)

    # The failure reports and log lines go to fds 1 and 2: keep them out.
    saved = os.dup(1), os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    rows = []
    foreign = None
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        ops = operations(panic_type())
        foreign = Foreign()
        norbe.init_tracing()  # every logged failure formats its line too
        refcounts = [sys.getrefcount(p) for p in probes]
        for _ in range(args.rounds):  # warm-up: caches fill, pools settle
            round_()
        for phase in range(args.phases + 1):
            if phase:
                for _ in range(args.rounds):
                    round_()
            gc.collect()
            rows.append((sys.getallocatedblocks(), rss(), [sys.getrefcount(p) for p in probes]))
    finally:
        if foreign is not None:
            foreign.stop()
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        os.close(null)

    failed = False
    calls = args.rounds * len(ops) * (1 + len(probes) + (arm is not None))
    print(f"{len(ops)} operations, {calls} calls per phase, fault injection {'on' if arm else 'off (not built)'}")
    print("phase  blocks  delta  rss(KiB)  delta")
    for phase, (blocks, size, counts) in enumerate(rows):
        if phase == 0:
            print(f"{phase:5}  {blocks:6}  {'':5}  {size >> 10:8}")
            continue
        grew_blocks = blocks - rows[phase - 1][0]
        grew_rss = size - rows[phase - 1][1]
        print(f"{phase:5}  {blocks:6}  {grew_blocks:+5}  {size >> 10:8}  {grew_rss >> 10:+5}")
        failed |= grew_blocks > BLOCK_SLACK or grew_rss > RSS_SLACK
        if counts != refcounts:
            print(f"reference counts of reused arguments changed: {refcounts} -> {counts}")
            failed = True
    print("LEAK" if failed else "no growth")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
