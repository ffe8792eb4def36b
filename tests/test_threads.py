"""Many threads at once: building, reading, writing and comparing shared
objects gives correct results, a borrow held by one thread is respected by
the others, and IfThen misuse from other threads raises its exception."""

import re
import sys
import threading

import pytest

from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption
from norbe.package.outline import PackageOutline
from norbe.package.version import Version

PREFIX = "Cannot compare type None from constraint Maximize( "
SUFFIX = " ) with type Some(Int) from constraint 0 using operator '=='"
THREADS = 8


def text(obj):
    try:
        Maximize(obj) == 0
    except NotImplementedError as exc:
        return str(exc)[len(PREFIX) : -len(SUFFIX)]


@pytest.fixture(autouse=True)
def switch_often():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(work, count=THREADS):
    """Runs work(i) on `count` threads started together; returns their results
    (or the exceptions they raised, without tracebacks)."""
    barrier = threading.Barrier(count)
    results = [None] * count

    def run(i):
        barrier.wait()
        try:
            results[i] = work(i)
        except BaseException as exc:  # noqa: BLE001
            results[i] = exc.with_traceback(None)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def test_shared_objects_built_read_and_compared_at_once():
    option = SpecOption("pkg", "opt")
    version = Version("1.2-rc1")
    shared = NumOf([Depends("a"), option == SpecOption("q", "o"), version, 2.5])
    expected = "NumOf( Depends( a ), [ Package 'pkg' -> Option 'opt' ] == [ Package 'q' -> Option 'o' ], 1.2-rc1, 2.5 )"

    def work(i):
        seen = set()
        for k in range(300):
            mine = NumOf([Depends(f"t{i}"), k])
            seen.add(text(shared))
            seen.add(text(shared >= k) == f"[ {expected} ] >= [ {k} ]")
            seen.add(text(option < option) == "[ Package 'pkg' -> Option 'opt' ] < [ Package 'pkg' -> Option 'opt' ]")
            seen.add(text(Cmp(mine, shared, CmpType.Less).rhs))
            seen.add([text(x) for x in mine.of] == [f"Depends( t{i} )", str(k)])
            seen.add(str(shared.of[2].value))
            PackageOutline("p", [shared, mine], {"v": version}, {"o": None})
        return seen

    assert run_threads(work) == [{expected, True, "1.2-rc1"}] * THREADS


def test_readers_see_whole_values_while_writers_replace_them():
    shared = Cmp(Depends("a"), 1, CmpType.Less)
    states = {"[ Depends( a ) ] < [ 1 ]", "[ NumOf( 1, 2 ) ] < [ 1 ]", "[ Depends( a ) ] > [ 1 ]", "[ NumOf( 1, 2 ) ] > [ 1 ]"}

    def work(i):
        seen = set()
        for k in range(300):
            if i % 2:
                shared.lhs = Depends("a") if k % 2 else NumOf([1, 2])
                shared.op = CmpType.Less if k % 3 else CmpType.Greater
            else:
                seen.add(text(shared))
                seen.add(text(Maximize(shared)).removeprefix("Maximize( ").removesuffix(" )"))
        return seen

    results = run_threads(work)
    assert all(isinstance(r, set) and r <= states for r in results), results


def test_a_borrow_held_by_one_thread_is_respected_by_another():
    # A comparison borrows its receiver while it converts the operand; the
    # operand's hook waits here (releasing the interpreter lock) while another
    # thread reads, compares and tries to write the same object.
    value = Cmp(Depends("a"), 1, CmpType.Equal).rhs
    inside, done = threading.Event(), threading.Event()

    class Slow:
        def __index__(self):
            inside.set()
            done.wait(10)
            return 2

    outcome = {}

    def other():
        inside.wait(10)
        outcome["read"] = value.value
        outcome["compare"] = text(value < 5)
        try:
            value.value = 3
        except RuntimeError as exc:
            outcome["write"] = str(exc)
        done.set()

    thread = threading.Thread(target=other)
    thread.start()
    result = value > Slow()
    thread.join()
    assert outcome == {"read": 1, "compare": "[ 1 ] < [ 5 ]", "write": "Already borrowed"}
    assert text(result) == "[ 1 ] > [ 2 ]"
    value.value = 4  # free again once the comparison is over
    assert value.value == 4


THREAD_MESSAGE = re.compile(
    r"assertion `left == right` failed: norbe::package::constraint::if_then::IfThen is unsendable, "
    r"but sent to another thread\n  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)"
)


def test_if_then_used_from_many_threads_at_once(panic_exception):
    owned = IfThen(Depends("c"), 2)
    uses = [
        lambda: owned.cond,
        lambda: setattr(owned, "then", 3),
        lambda: owned == 1,
        lambda: Maximize(owned),
        lambda: NumOf([1, owned]),
    ]

    def work(i):
        failures = []
        for use in uses * 20:
            try:
                use()
            except panic_exception as exc:
                failures.append(THREAD_MESSAGE.fullmatch(exc.args[0]).group(2))
        return failures

    results = run_threads(work)
    owners = {owner for failures in results for owner in failures}
    assert [len(failures) for failures in results] == [len(uses) * 20] * THREADS
    assert len(owners) == 1  # every thread names the same creator
    assert text(owned) == "If( Depends( c ) ) Then [ 2 ]"  # no foreign write got through
    owned.then = 3  # the creator still uses it freely
    assert text(owned) == "If( Depends( c ) ) Then [ 3 ]"
