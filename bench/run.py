"""Runs the whole benchmark suite and prints one markdown report.

    python bench/run.py                 # micro benchmarks, the Packages workload, memory
    python bench/run.py --quick         # fewer rounds (a rough look, about a minute)
    python bench/run.py --generated     # the generated index instead of apt's
    python bench/run.py --pyperf        # micro benchmarks with pyperf workers
    python bench/run.py --output report.md --json report.json

Needs norbe installed in the running interpreter (``pip install .``); pyperf
is optional. Not part of the test suite: speed is measured here, never
asserted in tests.
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import memory  # noqa: E402
import micro  # noqa: E402
import workload  # noqa: E402


def machine():
    """One line naming the machine, interpreter and load."""
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    try:
        with open("/proc/meminfo") as f:
            memory_gib = int(f.readline().split()[1]) / 2**20
        ram = f", {memory_gib:.0f} GiB RAM"
    except (OSError, ValueError, IndexError):
        ram = ""
    load = ""
    if hasattr(os, "getloadavg"):
        load = ", load average %.2f at start" % os.getloadavg()[0]
    return (
        f"{cpu}, {os.cpu_count()} cores{ram}; {platform.system()} {platform.release()}; "
        f"CPython {platform.python_version()}; {datetime.date.today().isoformat()}{load}"
    )


def run_micro(args):
    if args.pyperf:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "micro.json")
            command = [sys.executable, os.path.join(HERE, "micro.py"), "--pyperf", "--json", path, "--quiet"]
            if args.quick:
                command.append("--fast")
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            with open(path) as f:
                return json.load(f)
    rounds = 5 if args.quick else args.rounds
    return micro.summarise(micro.measure_timeit(rounds, args.sample))


def run_workload(args):
    records, source = workload.load_records(args)
    rounds = 2 if args.quick else args.workload_rounds
    times = workload.measure_time(records, rounds, 1 if args.quick else min(rounds, args.baseline_rounds), 1)
    summary = workload.summarise(records, times, workload.measure_memory(records))
    summary["source"] = source
    return summary


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--pyperf", action="store_true", help="micro benchmarks through pyperf")
    parser.add_argument("--rounds", type=int, default=15, help="micro benchmark rounds")
    parser.add_argument("--sample", type=float, default=0.01, help="seconds per micro sample")
    parser.add_argument("--workload-rounds", type=int, default=9)
    parser.add_argument("--baseline-rounds", type=int, default=2)
    workload.add_index_arguments(parser)
    parser.add_argument("--memory-count", type=int, default=200000)
    parser.add_argument("--output", help="also write the markdown report here")
    parser.add_argument("--json", help="also write all figures here")
    args = parser.parse_args(argv)

    head = machine()
    print(f"Machine: {head}\n", flush=True)
    micro_rows = run_micro(args)
    micro_table = micro.table(micro_rows)
    print(micro_table + "\n", flush=True)
    summary = run_workload(args)
    described = ", ".join(f"{k.replace('_', ' ')} {v:,}" for k, v in summary["workload"].items())
    workload_text = f"Workload: {summary['source']} ({described})\n\n" + workload.table(summary)
    print(workload_text + "\n", flush=True)
    memory_rows = memory.run(args.memory_count // (4 if args.quick else 1))
    memory_table = memory.table(memory_rows)
    print(memory_table, flush=True)

    report = "\n\n".join([f"Machine: {head}", micro_table, workload_text, memory_table]) + "\n"
    if args.output:
        with open(args.output, "w") as out:
            out.write(report)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(
                {"machine": head, "micro": micro_rows, "workload": summary, "memory": memory_rows},
                out,
                indent=1,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
