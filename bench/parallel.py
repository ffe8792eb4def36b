"""The Debian walk of bench/workload.py on one thread and on several at once.

The index is cut into as many equal shares as there are threads; each thread
builds the outlines of its share (the walk exactly as a user writes it, see
bench/workload.py), all threads starting together. Reported per thread count:
wall time of the whole index (best round; median beside it), packages per
second and the speed-up over the first thread count (one by default). The floor walk (built-in ``slice``
in place of norbe's calls) runs the same way beside it, so that the
interpreter's own scaling is the yardstick.

Meant for a free-threaded interpreter with the GIL disabled
(``PYTHON_GIL=0``); with a GIL the threads take turns and the speed-up stays
near 1. The cyclic collector is paused during the timed rounds, as in
bench/workload.py.

    python bench/parallel.py                    # the apt index, else a generated one
    python bench/parallel.py --threads 1 2 4 --rounds 7
"""

import argparse
import gc
import os
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workload import add_index_arguments, load_records, load_variant  # noqa: E402


def gil_state():
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    if is_enabled is None:
        return "GIL (not a free-threaded build)"
    return "GIL enabled" if is_enabled() else "GIL disabled"


def shares(records, count):
    size = -(-len(records) // count)
    return [records[i : i + size] for i in range(0, len(records), size)]


def timed_round(walk, lib, parts):
    """Wall time of every part walked on a thread of its own, started together."""
    start = threading.Barrier(len(parts) + 1)
    done = [None] * len(parts)

    def work(index, part):
        start.wait()
        done[index] = walk(part, lib)

    threads = [threading.Thread(target=work, args=(i, p)) for i, p in enumerate(parts)]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - began
    if any(result is None or len(result) != len(part) for result, part in zip(done, parts)):
        sys.exit("a thread failed: see its traceback above")
    return elapsed


def measure(variant, records, thread_counts, rounds):
    walk, lib = load_variant(variant)
    walk(records[:2000], lib)  # warm up
    times = {}
    for count in thread_counts:
        parts = shares(records, count)
        samples = []
        for _ in range(rounds):
            gc.collect()
            gc.disable()
            try:
                samples.append(timed_round(walk, lib, parts))
            finally:
                gc.enable()
        times[count] = samples
    return times


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    add_index_arguments(parser, packages=20000)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args(argv)

    records, source = load_records(args)
    print(f"{sys.version.split()[0]} ({gil_state()}), {os.cpu_count()} cores")
    print(f"index: {source}, {len(records)} packages; best of {args.rounds} rounds\n")
    print(f"{'walk':<7}{'threads':>8}{'best s':>9}{'median s':>10}{'packages/s':>12}{'speed-up':>10}")
    for variant in ("floor", "norbe"):
        times = measure(variant, records, args.threads, args.rounds)
        first = min(times[args.threads[0]])
        for count, samples in times.items():
            best = min(samples)
            print(
                f"{variant:<7}{count:>8}{best:>9.3f}{statistics.median(samples):>10.3f}"
                f"{len(records) / best:>12,.0f}{first / best:>9.2f}x"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
