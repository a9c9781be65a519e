#!/usr/bin/python3
"""Turns runs of bench_collection (Google Benchmark JSON) into the collection's
performance report: the median of every benchmark over the runs, the ratios
the collection is held to, and plots.

    bench/report.py RUN.json [RUN.json ...] [--out DIR]

Writes DIR/report.md (default docs/performance) and, when matplotlib is there
(Debian: python3-matplotlib), DIR/reader_lookup.png, DIR/reader_iterate.png
and DIR/writer_ops.png. Times are real (wall-clock) nanoseconds per operation,
or per whole iteration for the iterate benchmarks: what a caller waits,
including a reader blocked behind a writer's lock.
"""

import argparse
import functools
import json
import os
import statistics
import sys

READER_SIDES = ["seqlock_floor", "ploom", "ploom_local_shadow", "std_unordered_map", "ipc_unordered_map", "lmdb"]
# Reads of ploom's files without any of the reader's checks (idle writer only):
# what the files and the step-per-entry shape of first/next cost by themselves.
UNCHECKED_LOOKUP = "unchecked_lookup"
ITERATION_FLOORS = ["split_order_walk", "step_floor"]
WRITER_PEERS = ["ploom", "std_unordered_map", "ipc_unordered_map"]
TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load_runs(paths):
    """[{benchmark name: ns per iteration}, one per run]; repetition aggregates are skipped."""
    runs = []
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        run = {}
        for b in data["benchmarks"]:
            if b.get("run_type") == "aggregate" or "error_occurred" in b:
                continue
            run[b["name"]] = b["real_time"] * TO_NS[b.get("time_unit", "ns")]
        runs.append(run)
    return runs


def by_name(runs):
    """{benchmark name: [ns, one per run that has it]}."""
    times = {}
    for run in runs:
        for name, ns in run.items():
            times.setdefault(name, []).append(ns)
    return times


def medians(times):
    return {name: statistics.median(values) for name, values in times.items()}


def reader(op, impl, writer):
    return f"reader_{op}/{impl}/2048/{writer}_writer"


def within_runs(runs, a, b):
    """The median over the runs of a / b, each taken within one run, where both ran side by side
    (the machine's speed drifts between runs more than within one); None when never measured."""
    values = [run[a] / run[b] for run in runs if a in run and b in run and run[b] > 0]
    return statistics.median(values) if values else None


def targets(runs):
    """Rows (what, measured ratio, target, met) for every ratio the collection is held to."""
    rows = []
    ratio = functools.partial(within_runs, runs)

    def check(what, value, bound, at_most=True):
        if value is None:
            rows.append((what, "n/a", ("<= " if at_most else ">= ") + f"{bound:g}", "not measured"))
            return
        met = value <= bound if at_most else value >= bound
        rows.append((what, f"{value:.2f}", ("<= " if at_most else ">= ") + f"{bound:g}", "yes" if met else "no"))

    for op, label in (("lookup_hit", "look-up hit"), ("lookup_miss", "look-up miss")):
        check(f"{label}, busy writer: ploom / seqlock_floor",
              ratio(reader(op, "ploom", "busy"), reader(op, "seqlock_floor", "busy")), 2)
        check(f"{label}, busy writer: ipc_unordered_map / ploom",
              ratio(reader(op, "ipc_unordered_map", "busy"), reader(op, "ploom", "busy")), 100, at_most=False)
        check(f"{label}, idle writer: ploom / seqlock_floor",
              ratio(reader(op, "ploom", "idle"), reader(op, "seqlock_floor", "idle")), 3)
        check(f"{label}, idle writer: ploom / std_unordered_map",
              ratio(reader(op, "ploom", "idle"), reader(op, "std_unordered_map", "idle")), 2)
    for peer in ("ipc_unordered_map", "lmdb"):
        check(f"iterate 2,048, idle writer: ploom / {peer}",
              ratio(reader("iterate", "ploom", "idle"), reader("iterate", peer, "idle")), 1)
    for op, bound in (("lookup_hit", 2), ("overwrite", 3), ("insert_remove", 2.5)):
        check(f"writer {op} at 2,048: ploom / std_unordered_map",
              ratio(f"{op}/ploom/2048", f"{op}/std_unordered_map/2048"), bound)
    return rows


def fmt_ns(ns):
    return f"{ns / 1e3:.1f} us" if ns >= 1e4 else f"{ns:.1f} ns"


def report_md(m, times, runs):
    lines = ["# Collection performance", "",
             f"{len(runs)} runs of `bench_collection` (real time per operation; per whole walk of 2,048 "
             "entries for `iterate`). Ratios are the median of the ratios within each run; times the "
             "median of each benchmark over the runs. Regenerate with the commands in the README.", "",
             "## Targets", "", "| Ratio | Measured | Target | Met |", "|---|---|---|---|"]
    lines += [f"| {what} | {value} | {bound} | {met} |" for what, value, bound, met in targets(runs)]
    lines += ["", "## Reads from another process (N = 2,048)", "",
              "| Operation | Writer | " + " | ".join(READER_SIDES) + " |",
              "|---|---|" + "---|" * len(READER_SIDES)]
    for op in ("lookup_hit", "lookup_miss", "iterate"):
        for writer in ("idle", "busy"):
            cells = [fmt_ns(m[reader(op, s, writer)]) if reader(op, s, writer) in m else "" for s in READER_SIDES]
            lines.append(f"| {op} | {writer} | " + " | ".join(cells) + " |")
    lines += unchecked_md(m, runs)
    lines += ["", "## Every benchmark", "", "| Benchmark | Median | Runs |", "|---|---|---|"]
    for name in sorted(m):
        lines.append(f"| `{name}` | {fmt_ns(m[name])} | " + ", ".join(fmt_ns(t) for t in times[name]) + " |")
    return "\n".join(lines) + "\n"


def unchecked_md(m, runs):
    """The section on reads of the reader's files that make none of its checks."""
    def cell(a, b):
        value = within_runs(runs, a, b)
        return "n/a" if value is None else f"{value:.2f}"

    lines = ["", "## Reading the files without the reader's checks (idle writer)", "",
             "`unchecked_lookup` looks keys up in the reader's files, and `split_order_walk` walks them "
             "(every link and end marker, one loop), with none of the reader's checks; `step_floor` takes "
             "that walk one call per entry, shaped like `next` (from the hint, value copied out, hint "
             "recorded). Ratios as above.", "",
             "| Operation | Read | Median | / seqlock_floor | / ipc_unordered_map | / lmdb | ploom / read |",
             "|---|---|---|---|---|---|---|"]
    for op, impl in [("lookup_hit", UNCHECKED_LOOKUP), ("lookup_miss", UNCHECKED_LOOKUP)] + \
            [("iterate", floor) for floor in ITERATION_FLOORS]:
        name = reader(op, impl, "idle")
        if name not in m:
            continue
        peers = [cell(name, reader(op, peer, "idle")) for peer in ("seqlock_floor", "ipc_unordered_map", "lmdb")]
        lines.append(f"| {op} | {impl} | {fmt_ns(m[name])} | " + " | ".join(peers) + " | " +
                     cell(reader(op, "ploom", "idle"), name) + " |")
    return lines


def plots(m, out):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("report: matplotlib is missing (Debian: python3-matplotlib); no plots written", file=sys.stderr)
        return

    def bars(path, title, groups, series, value, ylabel, log=True):
        fig, ax = plt.subplots(figsize=(10, 4.8))
        width = 0.8 / len(series)
        for i, s in enumerate(series):
            ys = [value(g, s) or 0 for g in groups]
            xs = [j + (i - (len(series) - 1) / 2) * width for j in range(len(groups))]
            ax.bar(xs, ys, width, label=s)
        ax.set_xticks(range(len(groups)), [g.replace("/", "\n") for g in groups])
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        if log:
            ax.set_yscale("log")
        ax.legend(fontsize=8)
        ax.grid(axis="y", alpha=0.3)
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)

    lookups = [f"{op}/{w}" for op in ("lookup_hit", "lookup_miss") for w in ("idle", "busy")]
    bars(os.path.join(out, "reader_lookup.png"),
         "Reader look-ups from another process, N = 2,048 (median, log scale)", lookups,
         READER_SIDES + [UNCHECKED_LOOKUP],
         lambda g, s: m.get(reader(g.split("/")[0], s, g.split("/")[1])), "ns per look-up")
    bars(os.path.join(out, "reader_iterate.png"),
         "Iterating 2,048 entries from another process (median, log scale)", ["iterate/idle", "iterate/busy"],
         READER_SIDES + ITERATION_FLOORS, lambda g, s: m.get(reader("iterate", s, g.split("/")[1])), "ns per walk")
    ops = ["lookup_hit", "lookup_miss", "overwrite", "insert_remove"]
    bars(os.path.join(out, "writer_ops.png"), "Writer operations at N = 2,048 (median)", ops, WRITER_PEERS,
         lambda g, s: m.get(f"{g}/{s}/2048"), "ns per operation")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("runs", nargs="+", help="Google Benchmark JSON output of bench_collection, one per run")
    parser.add_argument("--out", default="docs/performance", help="directory of the report (default %(default)s)")
    args = parser.parse_args()
    runs = load_runs(args.runs)
    times = by_name(runs)
    if not times:
        sys.exit("report: no benchmark results in " + ", ".join(args.runs))
    m = medians(times)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "report.md"), "w") as f:
        f.write(report_md(m, times, runs))
    plots(m, args.out)
    for what, value, bound, met in targets(runs):
        print(f"{what}: {value} (target {bound}) {met}")


if __name__ == "__main__":
    main()
