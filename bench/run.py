"""Benchmarks tovarel_core against the libraries users would pick instead.

    python bench/run.py [--quick] [--out DIR] [--repeats N]

Writes DIR/report.md and PNG plots.  Every peer round-trips its own output
on each workload before it is timed; one that fails is reported, not timed.
Our module is reported as missing when it cannot be imported.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import os
import platform
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import report  # noqa: E402
import timing  # noqa: E402
import tools as toolmod  # noqa: E402
import workloads  # noqa: E402
from report import Cell  # noqa: E402

DEFAULT_OUT = Path(__file__).resolve().parent / "results"

# A tool predicted to need longer than this for one diff on a workload is
# skipped there (and the report says so): with the cap of one run per long
# call, this bounds the largest workload's share of the run.
MAX_PREDICTED_CALL = 300.0
# Inputs at least this big give the throughput figures used for prediction.
PREDICTION_MIN_INPUT = 1 << 20
# Suffix sorting and similar searches grow faster than linearly.
PREDICTION_MARGIN = 1.5


class Progress:
    """One line per step on stderr, with the elapsed time."""

    def __init__(self):
        self.start = time.monotonic()

    def __call__(self, text):
        t = int(time.monotonic() - self.start)
        print(f"[{t // 60:02d}:{t % 60:02d}] {text}", file=sys.stderr, flush=True)


def machine():
    cpu = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = "unknown"
    try:
        for line in open("/proc/meminfo"):
            if line.startswith("MemTotal"):
                mem = f"{int(line.split()[1]) / (1 << 20):.1f} GiB"
                break
    except OSError:
        pass
    return [
        ("CPU", cpu),
        ("cores", str(os.cpu_count())),
        ("memory", mem),
        ("system", f"{platform.system()} {platform.release()} ({platform.machine()})"),
        ("Python", f"{platform.python_implementation()} {platform.python_version()}"),
    ]


# ------------------------------------------------------------------- CBOR


def run_cbor(wls, tools, repeats, progress):
    results = {}
    for i, wl in enumerate(wls, 1):
        cells = results[wl.name] = {}
        cases = []
        for t in tools:
            if not t.usable:
                cells[t.name] = Cell("missing" if t.status.startswith("missing") else "failed", t.status)
                continue
            progress(f"cbor {i}/{len(wls)} {wl.name}: checking {t.name}")
            t0 = time.perf_counter()
            status, reason, encoded = toolmod.check_cbor(t, wl.value)
            cells[t.name] = Cell(status, reason, len(encoded) if encoded is not None else None)
            if status == "ok":
                cases.append(timing.Case(t.name, lambda _t=t, _v=wl.value: _t.encode(_v), time.perf_counter() - t0))
        gc.collect()
        timed = timing.measure(cases, repeats, progress=lambda r, n: progress(f"cbor {i}/{len(wls)} {wl.name}: repeat {r}/{n}"))
        for key, res in timed.items():
            cells[key].encode = res
    return results


# ------------------------------------------------------------------ deltas


class Predictor:
    """Predicts a tool's diff time on a big input from its slowest rate so far."""

    def __init__(self):
        self.rates = {}

    def observe(self, tool, nbytes, seconds):
        if nbytes >= PREDICTION_MIN_INPUT and seconds and seconds > 0:
            rate = nbytes / seconds
            self.rates[tool] = min(rate, self.rates.get(tool, rate))

    def predict(self, tool, nbytes):
        rate = self.rates.get(tool)
        return None if rate is None else PREDICTION_MARGIN * nbytes / rate


def run_deltas(wls, tools, repeats, progress):
    results = {}
    notes = []
    predictor = Predictor()
    for i, wl in enumerate(wls, 1):
        cells = results[wl.name] = {}
        diff_cases, patch_cases = [], []
        for t in tools:
            if not t.usable:
                cells[t.name] = Cell("missing" if t.status.startswith("missing") else "failed", t.status)
                continue
            need = predictor.predict(t.name, len(wl.old) + len(wl.new))
            if need is not None and need > MAX_PREDICTED_CALL:
                cells[t.name] = Cell("skipped", f"predicted {need:.0f} s for one diff")
                notes.append(
                    f"{t.name} was not run on “{wl.name}”: from its slowest rate on earlier inputs one diff would take about {need:.0f} s."
                )
                continue
            progress(f"delta {i}/{len(wls)} {wl.name}: checking {t.name}")
            t0 = time.perf_counter()
            try:
                delta = t.diff(wl.old, wl.new)
                t_diff = time.perf_counter() - t0
            except Exception as exc:
                cells[t.name] = Cell("failed", f"diff raised {type(exc).__name__}: {exc}")
                continue
            predictor.observe(t.name, len(wl.old) + len(wl.new), t_diff)
            status, reason, delta = check_with(t, wl, delta)
            cells[t.name] = Cell(status, reason, len(delta) if delta is not None else None)
            if status != "ok":
                notes.append(f"{t.name} failed its round-trip check on “{wl.name}”: {reason}.")
                continue
            diff_cases.append(timing.Case(t.name, lambda _t=t, _w=wl: _t.diff(_w.old, _w.new), t_diff))
            patch_cases.append(timing.Case(t.name, lambda _t=t, _w=wl, _d=delta: _t.patch(_w.old, _d)))
        gc.collect()
        label = f"delta {i}/{len(wls)} {wl.name}"
        diffs = timing.measure(diff_cases, repeats, progress=lambda r, n: progress(f"{label}: diff repeat {r}/{n}"))
        patches = timing.measure(patch_cases, repeats, progress=lambda r, n: progress(f"{label}: patch repeat {r}/{n}"))
        for key in diffs:
            cells[key].diff, cells[key].patch = diffs[key], patches[key]
            if diffs[key].capped:
                notes.append(f"{key} on “{wl.name}”: one diff took {diffs[key].median:.1f} s, so that single run is the figure (no repeats).")
            if patches[key].capped:
                notes.append(f"{key} on “{wl.name}”: one patch took {patches[key].median:.1f} s, so that single run is the figure (no repeats).")
    return results, notes


def check_with(tool, wl, delta):
    """Round-trip check of a delta already computed (so the diff runs once)."""
    if tool.ours and delta == toolmod.NO_CHANGE and wl.old != wl.new:
        return "failed", "reported no change for values that differ", delta
    try:
        rebuilt = toolmod.rebuild(tool, wl.old, delta)
    except Exception as exc:
        return "failed", f"patch raised {type(exc).__name__}: {exc}", delta
    if rebuilt != wl.new:
        return "failed", "patch did not rebuild the new value", delta
    return "ok", "", delta


# ------------------------------------------------------------------ report


def write_report(out, args, cbor_tools, items, cbor_results, delta_tools, delta_wls, delta_results, notes):
    ours = toolmod.OURS
    cbor_peers = [t.name for t in cbor_tools if not t.ours]
    delta_peers = [t.name for t in delta_tools if not t.ours]
    all_tools = {t.name: t for t in cbor_tools + delta_tools}
    ours_tool = next(t for t in cbor_tools if t.name == ours)

    plots, plot_notes = [], []
    try:
        report.plot_edit_series(out / "delta_size_vs_edits.png", delta_wls, delta_results, delta_tools)
        report.plot_cbor_throughput(out / "cbor_throughput.png", cbor_results, cbor_tools, items)
        plots = ["delta_size_vs_edits.png", "cbor_throughput.png"]
    except ImportError as exc:
        plot_notes.append(f"No plots: matplotlib is not available ({exc}).")

    cmd = " ".join(["python bench/run.py"] + args.argv)
    md = [
        "# Benchmark: tovarel_core against its peers",
        "",
        f"Generated {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} by `{cmd}`"
        f" ({'quick profile: tiny workloads, for testing the harness only' if args.quick else 'full profile'}),"
        f" {args.repeats} interleaved repeat(s) per measurement.",
        "",
    ]
    if not ours_tool.usable:
        md += [f"**{ours} is {ours_tool.status}: only the peers were measured, and no ratios can be given.**", ""]
    md += [
        "## Machine",
        "",
        report.table(("", ""), machine()),
        "",
        "## Tools",
        "",
        report.tools_section(list({t.name: t for t in cbor_tools + delta_tools}.values())),
        "",
        "## Method",
        "",
        "- Each workload is built at run time from files on this machine (or from a seeded RNG, seed "
        f"{workloads.SEED}); no input is stored in the tree.",
        "- Before timing, every tool encodes (or diffs) the workload and its output is decoded (or patched) "
        "and compared with the input: CBOR outputs, ours included, are decoded with cbor2, msgpack and JSON "
        "with their own decoders, and the comparison is strict (types must match, floats bit for bit). A tool "
        "whose output does not round-trip is reported and not timed on that workload.",
        f"- Our delta of the single byte 0xF6 means \"no change\": the check then expects equal values and keeps the old one.",
        "- Warm-up: one untimed call per tool, which also sets how many calls make one sample last at least "
        f"{timing.MIN_SAMPLE * 1e3:.0f} ms. Then the tools are timed in turn within each repeat (ours, peer, ours, "
        "peer, ...), and the median sample is reported. Garbage collection is off while timing.",
        f"- A call that takes longer than {timing.LONG_CALL:.0f} s is not repeated: its first run is the figure, marked ¹.",
        "- Every ratio compares figures from this same run. **Speed ratio = peer time / our time** (above 1: we are "
        "faster). **Size ratio = our bytes / peer bytes** (below 1: our output is smaller).",
        "- Delta times include what a caller pays: building zstd's dictionary from the old value on both sides, "
        "and copying our result into `bytes`.",
        "",
        "## CBOR encoding",
        "",
        report.cbor_section(cbor_results, cbor_tools, items),
        "",
        f"### Ratios, {ours} (defaults) against each peer",
        "",
        report.cbor_ratio_section(cbor_results, ours, cbor_peers),
        "",
        "## Binary deltas",
        "",
    ]
    sizes, diffs, patches = report.delta_tables(delta_results, delta_wls, delta_tools)
    md += [
        "### Delta size (and its share of the new value)",
        "",
        sizes,
        "",
        "### Diff time, median ms",
        "",
        diffs,
        "",
        "### Patch time, median ms",
        "",
        patches,
        "",
    ]
    for peer in delta_peers:
        if all_tools[peer].usable and all_tools[ours].usable:
            md += [f"### Ratios against {peer}", "", report.delta_ratio_section(delta_results, ours, peer), ""]
    md += ["### Workload sources", ""]
    md += [f"- {wl.name}: {wl.note}" for wl in delta_wls if wl.note]
    md += ["", "## Where we lose", ""]
    lost = report.losses(cbor_results, ours, cbor_peers, "cbor") + report.losses(delta_results, ours, delta_peers, "delta")
    if not all_tools[ours].usable:
        lost = [f"- Nothing could be compared: {ours} is {all_tools[ours].status}."]
    md += lost or ["- Nowhere in this run."]
    md += ["", "## Caps, omissions and failures", ""]
    caps = list(notes) + plot_notes
    for t in all_tools.values():
        if not t.usable:
            caps.append(f"{t.name}: {t.status}; not timed.")
    for kind, res in (("CBOR", cbor_results), ("delta", delta_results)):
        for wl, cells in res.items():
            for name, c in cells.items():
                if c.status == "n/a":
                    caps.append(f"{name} on “{wl}” ({kind}): n/a, the format cannot represent it ({c.reason}).")
                elif c.status == "failed" and all_tools[name].usable and kind == "CBOR":
                    caps.append(f"{name} on “{wl}” ({kind}): failed its round-trip check ({c.reason}); not timed.")
    md += [f"- {c}" for c in dict.fromkeys(caps)] or ["- None."]
    md += ["", "## Plots", ""]
    md += [f"![{p}]({p})" for p in plots] or ["- None."]
    (out / "report.md").write_text("\n".join(md) + "\n", encoding="utf-8")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="tiny workloads and one repeat (tests the harness)")
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT, help="directory for report.md and plots")
    ap.add_argument("--repeats", type=int, default=None, help="interleaved repeats per measurement (default 5, quick 1)")
    args = ap.parse_args(argv)
    args.argv = list(sys.argv[1:] if argv is None else argv)
    if args.repeats is None:
        args.repeats = 1 if args.quick else 5
    if args.repeats < 1:
        ap.error("--repeats must be at least 1")
    args.out.mkdir(parents=True, exist_ok=True)
    progress = Progress()
    sizes = workloads.QUICK if args.quick else workloads.FULL

    progress("loading tools")
    cbor_tools, delta_tools = toolmod.cbor_tools(), toolmod.delta_tools()
    for t in cbor_tools + delta_tools:
        if not t.usable:
            progress(f"{t.name}: {t.status}")

    progress("building CBOR workloads")
    cbor_wls = workloads.cbor_workloads(sizes)
    items = {wl.name: wl.items for wl in cbor_wls}
    cbor_results = run_cbor(cbor_wls, cbor_tools, args.repeats, progress)
    del cbor_wls  # the values are large; only their names and item counts are needed now
    gc.collect()

    progress("building delta workloads")
    delta_wls = workloads.delta_workloads(sizes)
    delta_results, notes = run_deltas(delta_wls, delta_tools, args.repeats, progress)

    progress("writing the report")
    write_report(args.out, args, cbor_tools, items, cbor_results, delta_tools, delta_wls, delta_results, notes)
    progress(f"done: {args.out / 'report.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
