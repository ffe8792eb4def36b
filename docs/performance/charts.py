"""Draws the performance page's charts and tables from committed bench output.

    python docs/performance/charts.py DATADIR OUTDIR

DATADIR holds the output of the bench scripts as they wrote it
(instructions.json from `bench/instructions.py --json`, run.json from
`bench/run.py --json`) and sources.json, which says how each was made
(command, interpreter, build). OUTDIR receives instructions.png, micro.png,
workload.png and figures.inc, which the performance page includes (its
images named from the top of the site's sources, /performance/).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

NORBE, FLOOR, BASELINE = "#2f6fb0", "#9aa5b1", "#d9822b"
# No timestamp or version in the files, so that the same data draws the same bytes.
PNG_METADATA = {"Software": None}


def _bars(ax, labels, series, log=False):
    """Horizontal bars, one group per label, one bar per (name, values, colour)."""
    height = 0.8 / len(series)
    positions = range(len(labels))
    for index, (name, values, colour) in enumerate(series):
        offsets = [p + (index - (len(series) - 1) / 2) * height for p in positions]
        ax.barh(offsets, values, height=height, label=name, color=colour)
    ax.set_yticks(list(positions), labels, fontsize=8)
    ax.invert_yaxis()
    if log:
        ax.set_xscale("log")
    ax.grid(axis="x", alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)


def _save(figure, path: Path) -> None:
    figure.tight_layout()
    figure.savefig(path, dpi=110, metadata=PNG_METADATA)
    plt.close(figure)


def instructions_chart(rows: list[dict], path: Path) -> None:
    figure, ax = plt.subplots(figsize=(8, 0.32 * len(rows) + 1.2))
    _bars(
        ax,
        [r["label"] for r in rows],
        [("norbe", [r["norbe"] for r in rows], NORBE), ("interpreter's floor", [r["floor"] for r in rows], FLOOR)],
    )
    ax.set_xlabel("instructions per operation (callgrind)")
    _save(figure, path)


def micro_chart(rows: list[dict], path: Path) -> None:
    figure, ax = plt.subplots(figsize=(8, 0.36 * len(rows) + 1.2))
    _bars(
        ax,
        [r["operation"] for r in rows],
        [
            ("norbe", [r["ns"]["norbe"] for r in rows], NORBE),
            ("interpreter's floor", [r["ns"]["floor"] for r in rows], FLOOR),
            ("pure-Python baseline", [r["ns"]["baseline"] for r in rows], BASELINE),
        ],
        log=True,
    )
    ax.set_xlabel("nanoseconds per operation (process CPU time, log scale)")
    _save(figure, path)


def workload_chart(summary: dict, path: Path) -> None:
    variants = list(summary["variants"])
    colours = {"floor": FLOOR, "norbe": NORBE}
    figure, ax = plt.subplots(figsize=(8, 2.2))
    values = [summary["variants"][v]["packages_per_second"] for v in variants]
    ax.barh(variants, values, color=[colours.get(v, BASELINE) for v in variants])
    ax.invert_yaxis()
    ax.grid(axis="x", alpha=0.3)
    ax.set_xlabel("packages per second (higher is better)")
    _save(figure, path)


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    lines = [".. list-table::", "   :header-rows: 1", ""]
    for row in [header, *rows]:
        lines.append(f"   * - {row[0]}")
        lines += [f"     - {cell}" for cell in row[1:]]
    return lines + [""]


def _literal(text: str) -> str:
    return "``" + text.replace("`", "") + "``"


def figures_rst(sources: dict, instructions: list[dict], run: dict) -> str:
    micro, summary = run["micro"], run["workload"]
    lines = [
        "Instruction counts",
        "------------------",
        "",
        (
            f"{sources['instructions']['about']} Command: ``{sources['instructions']['command']}``; "
            f"interpreter: {sources['instructions']['interpreter']}; build: {sources['instructions']['build']}."
        ),
        "",
        ".. image:: /performance/instructions.png",
        "   :alt: instructions per operation, norbe beside the interpreter's floor",
        "",
    ]
    lines += _table(
        ["operation", "norbe", "floor", "norbe/floor"],
        [
            [_literal(r["label"]), f"{r['norbe']:,.0f}", f"{r['floor']:,.0f}", f"{r['ratio']:.2f}×"]
            for r in instructions
        ],
    )
    lines += [
        "Times per operation",
        "-------------------",
        "",
        (
            f"{sources['run']['about']} Command: ``{sources['run']['command']}``; build: {sources['run']['build']}. "
            f"Machine and interpreter, as the bench wrote them: {run['machine']}."
        ),
        "",
        ".. image:: /performance/micro.png",
        "   :alt: nanoseconds per operation for norbe, the floor and the pure-Python baseline",
        "",
    ]
    lines += _table(
        ["operation", "norbe ns", "floor ns", "baseline ns", "norbe/floor", "baseline/norbe"],
        [
            [
                _literal(r["operation"]),
                f"{r['ns']['norbe']:.0f}",
                f"{r['ns']['floor']:.0f}",
                f"{r['ns']['baseline']:.0f}",
                f"{r['vs_floor']:.2f}×",
                f"{r['baseline_speedup']:.1f}×",
            ]
            for r in micro
        ],
    )
    described = ", ".join(f"{k.replace('_', ' ')} {v:,}" for k, v in summary["workload"].items())
    lines += [
        "A package index walked",
        "----------------------",
        "",
        f"{summary['source']} ({described}), turned into outlines in the same run.",
        "",
        ".. image:: /performance/workload.png",
        "   :alt: packages per second for the floor, norbe and the pure-Python baseline",
        "",
    ]
    lines += _table(
        ["variant", "packages/s", "best s", "median s"],
        [
            [v, f"{row['packages_per_second']:,.0f}", f"{row['seconds']:.3f}", f"{row['seconds_median']:.3f}"]
            for v, row in summary["variants"].items()
        ],
    )
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    data, out = Path(argv[0]), Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    sources = json.loads((data / "sources.json").read_text())
    instructions = json.loads((data / "instructions.json").read_text())
    run = json.loads((data / "run.json").read_text())
    instructions_chart(instructions, out / "instructions.png")
    micro_chart(run["micro"], out / "micro.png")
    workload_chart(run["workload"], out / "workload.png")
    (out / "figures.inc").write_text(figures_rst(sources, instructions, run))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
