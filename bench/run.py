"""Benchmarks tovarel_core against the libraries users would pick instead.

    python bench/run.py [--quick] [--out DIR] [--repeats N] [--only TEXT] [--baseline SO] [--readme README.md]

Writes DIR/report.md, PNG plots and DIR/readme_tables.md (the tables of
README's Performance section; --readme also puts them into that file between
its markers).  Every peer round-trips its own output on each workload before
it is timed; one that fails is reported, not timed.  Our module is reported
as missing when it cannot be imported, and each capability a build may lack
(the index delta method, cbor.loads, the plain dumps path) as a missing tool.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import os
import platform
import shlex
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import deterministic  # noqa: E402
import index_figures  # noqa: E402
try:
    import streams  # noqa: E402
except ImportError:  # our module missing: the report says so elsewhere
    streams = None
import report  # noqa: E402
import timing  # noqa: E402
import tools as toolmod  # noqa: E402
import workloads  # noqa: E402
from report import Cell, fmt_ratio  # noqa: E402

DEFAULT_OUT = Path(__file__).resolve().parent / "results"

# A tool predicted to need longer than this for one diff on a workload is
# skipped there (and the report says so): with the cap of one run per long
# call, this bounds the largest workload's share of the run.
MAX_PREDICTED_CALL = 300.0
# A file of records read back by iter_load: 1 GiB, as users' logs are; the quick run only tests the harness.
STREAMS_FULL, STREAMS_QUICK = 1 << 30, 4 << 20
# Inputs at least this big give the throughput figures used for prediction.
PREDICTION_MIN_INPUT = 1 << 20
# Suffix sorting and similar searches grow faster than linearly.
PREDICTION_MARGIN = 1.5
# Our deltas up to this size are also compressed by zstd -19 (the bigger ones
# are the worst cases' near-copies of random bytes, which do not compress).
PACK_LIMIT = 8 << 20


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
    results, notes = {}, []
    for i, wl in enumerate(wls, 1):
        cells = results[wl.name] = {}
        cases, outputs = [], {}
        for t in tools:
            if not t.usable:
                cells[t.name] = Cell("missing" if t.status.startswith("missing") else "failed", t.status)
                continue
            progress(f"cbor {i}/{len(wls)} {wl.name}: checking {t.name}")
            t0 = time.perf_counter()
            status, reason, encoded = toolmod.check_cbor(t, wl.value, wl.hook, wl.expected)
            cells[t.name] = Cell(status, reason, len(encoded) if encoded is not None else None)
            if status == "ok":
                outputs[t.name] = encoded
                cases.append(timing.Case(t.name, lambda _e=t.encoder(wl.hook), _v=wl.value: _e(_v), time.perf_counter() - t0))
        fast, plain = outputs.get(toolmod.OURS), outputs.get(toolmod.PLAIN)
        if fast is not None and plain is not None and fast != plain:
            notes.append(f"**dumps and _dumps_plain wrote different bytes on “{wl.name}”.**")
        del outputs, fast, plain
        gc.collect()
        timed = timing.measure(cases, repeats, progress=lambda r, n: progress(f"cbor {i}/{len(wls)} {wl.name}: repeat {r}/{n}"))
        for key, res in timed.items():
            cells[key].encode = res
    return results, notes


def run_cbor_decode(wls, tools, repeats, progress):
    """Times each decoder on its own format's encoding of every workload."""
    results = {}
    for i, wl in enumerate(wls, 1):
        cells = results[wl.name] = {}
        cases = []
        for t in tools:
            if not t.usable:
                cells[t.name] = Cell("missing" if t.status.startswith("missing") else "failed", t.status)
                continue
            progress(f"decode {i}/{len(wls)} {wl.name}: checking {t.name}")
            status, reason, encoded = toolmod.check_cbor(t, wl.value, wl.hook, wl.expected)
            cells[t.name] = Cell(status, reason, len(encoded) if encoded is not None else None)
            if status == "ok":
                cases.append(timing.Case(t.name, lambda _t=t, _b=encoded: _t.decode(_b)))
        gc.collect()
        timed = timing.measure(cases, repeats, progress=lambda r, n: progress(f"decode {i}/{len(wls)} {wl.name}: repeat {r}/{n}"))
        for key, res in timed.items():
            cells[key].decode = res
    return results


# ------------------------------------------------------------------ deltas


class Predictor:
    """Predicts a tool's diff time on a big input from its slowest rate so far.

    Rates are kept per workload class: our diff runs at hundreds of MB/s on
    sparse edits and far below 1 MB/s on shuffled blocks, so a worst case must
    not condemn a sparse edit, nor the reverse.  A class with no rate yet
    borrows the slowest rate of any class."""

    def __init__(self):
        self.rates = {}

    def observe(self, tool, cls, nbytes, seconds):
        if nbytes >= PREDICTION_MIN_INPUT and seconds and seconds > 0:
            rate = nbytes / seconds
            self.rates[tool, cls] = min(rate, self.rates.get((tool, cls), rate))

    def predict(self, tool, cls, nbytes):
        rate = self.rates.get((tool, cls))
        if rate is None:
            rate = min((r for (t, _), r in self.rates.items() if t == tool), default=None)
        return None if rate is None else PREDICTION_MARGIN * nbytes / rate


def run_deltas(wls, tools, repeats, progress, pack=None):
    """Checks and times every delta tool; `pack` (zstd -19) also sizes our
    deltas as a transport would ship them."""
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
            need = predictor.predict(t.name, wl.cls, len(wl.old) + len(wl.new))
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
            predictor.observe(t.name, wl.cls, len(wl.old) + len(wl.new), t_diff)
            status, reason, delta = check_with(t, wl, delta)
            cells[t.name] = Cell(status, reason, len(delta) if delta is not None else None)
            if status == "ok" and t.ours and pack is not None and len(delta) <= PACK_LIMIT:
                cells[t.name].packed = len(pack(delta))
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

README_BEGIN = "<!-- bench tables: begin (written by bench/run.py --readme) -->"
README_END = "<!-- bench tables: end -->"


def profile_text(args):
    return "quick profile: tiny workloads, for testing the harness only" if args.quick else "full profile"


def our_methods(delta_tools):
    """Our delta methods that ran: the default one and, when present, the index one."""
    return [t.name for t in delta_tools if t.ours and t.usable]


def our_baselines(method):
    """Our other methods that a method of ours is compared with: the default
    one for both others, and the plain index method for the compact form."""
    if method == toolmod.OURS:
        return []
    return [toolmod.OURS] + ([toolmod.INDEX] if method == toolmod.COMPACT else [])


def our_call(method):
    return {
        toolmod.OURS: "delta.diff",
        toolmod.INDEX: 'Differ(method="index").diff',
        toolmod.COMPACT: 'Differ(method="index", compact=True).diff',
    }[method]


# The peers that the compact form's size goals name.
COMPACT_SIZE_PEERS = ("bsdiff4", "zstd-3", "zstd-19")


def compact_totals(delta_tools, delta_results, delta_wls):
    """The compact form's total size per class against COMPACT_SIZE_PEERS,
    those that ran; None when the compact form did not."""
    usable = {t.name for t in delta_tools if t.usable}
    if toolmod.COMPACT not in usable:
        return None
    peers = [p for p in COMPACT_SIZE_PEERS if p in usable]
    return report.class_total_section(delta_results, delta_wls, toolmod.COMPACT, peers)


def delta_peer_names(delta_tools):
    return [t.name for t in delta_tools if not t.ours]


def plain_path_section(cbor_results, cbor_tools):
    ours, plain = toolmod.OURS, toolmod.PLAIN
    if not next(t for t in cbor_tools if t.name == plain).usable:
        return f"Skipped: {next(t for t in cbor_tools if t.name == plain).status}."
    rows = []
    for wl, cells in cbor_results.items():
        a, b = cells.get(ours), cells.get(plain)
        if a and b and a.status == b.status == "ok":
            rows.append([wl, report.fmt_ms(a.encode.median), report.fmt_ms(b.encode.median), fmt_ratio(report.cbor_ratios(cells, ours, plain)[0])])
        else:
            rows.append([wl, report.cell_text(a, "—"), report.cell_text(b, "—"), "—"])
    rows.append(["**geometric mean**", "", "", fmt_ratio(report.cbor_mean(cbor_results, ours, plain)[0])])
    return report.table(["workload", "dumps, ms", "_dumps_plain, ms", "plain time / dumps time"], rows)


def readme_tables(args, cbor_tools, cbor_results, decoders, decode_results, delta_tools, delta_wls, delta_results):
    """The tables of README's Performance section, from this run's figures."""
    ours = toolmod.OURS
    md = [
        f"Figures from `python bench/run.py {shlex.join(args.argv)}` ({profile_text(args)}), "
        f"{datetime.datetime.now().strftime('%Y-%m-%d')}. Speed ratio = peer time / our time (above 1: we are "
        "faster); size ratio = our bytes / peer bytes (below 1: ours is smaller); geometric means per class.",
        "",
    ]
    peers = [p for p in delta_peer_names(delta_tools) if next(t for t in delta_tools if t.name == p).usable]
    for method in our_methods(delta_tools):
        md += [f"Deltas, `{our_call(method)}`:", ""]
        rows = report.class_rows(delta_results, delta_wls, method, peers + our_baselines(method))
        md += [report.table(["vs", "class", "workloads", "size", "diff speed", "patch speed"], rows) if rows else "(no peer ran)", ""]
    if not next(t for t in delta_tools if t.name == toolmod.INDEX).usable:
        md += ["(The index method is not in this build.)", ""]
    totals = compact_totals(delta_tools, delta_results, delta_wls)
    if totals:
        md += [f"Total delta size per class, `{our_call(toolmod.COMPACT)}` against its goals' peers:", "", totals, ""]
    packed = report.packed_section(delta_results, delta_wls, our_methods(delta_tools), "bsdiff4")
    if packed:
        md += ["Real version pairs, total delta size, raw and compressed by zstd -19 as a transport would:", "", packed.split("\n\n")[0], ""]
    md += ["Where each peer wins:", ""]
    for method in our_methods(delta_tools):
        wins = report.class_wins(delta_results, delta_wls, method, peers)
        md += [w.replace("- ", f"- against {method}: ", 1) for w in wins]
    md += [""]
    cbor_peers = [t.name for t in cbor_tools if not t.ours and t.usable]
    rows = []
    for p in cbor_peers:
        speed, size = report.cbor_mean(cbor_results, ours, p)
        dspeed = report.cbor_mean(decode_results, ours, p, "decode")[0]
        rows.append([p, fmt_ratio(speed), fmt_ratio(size), fmt_ratio(dspeed)])
    md += [
        f"CBOR, geometric means over {len(cbor_results)} workloads (decoding: our definite-length encodings, each peer its own):",
        "",
        report.table(["vs", "dumps speed", "size", "loads speed"], rows),
        "",
    ]
    if not next(t for t in decoders if t.ours).usable:
        md += ["(cbor.loads is not in this build.)", ""]
    plain = report.cbor_mean(cbor_results, ours, toolmod.PLAIN)[0]
    if plain is not None:
        md += [f"dumps against its plain path (`_dumps_plain`): {fmt_ratio(plain)} on the geometric mean.", ""]
    lost = report.losses(cbor_results, ours, cbor_peers, "cbor") + report.losses(decode_results, ours, [t.name for t in decoders if not t.ours and t.usable], "decode")
    md += lost or ["- CBOR: no peer is faster on any workload."]
    return "\n".join(md).rstrip() + "\n"


def put_into_readme(path, snippet):
    text = path.read_text(encoding="utf-8")
    if README_BEGIN not in text or README_END not in text:
        raise SystemExit(f"{path} has no {README_BEGIN} ... {README_END} block")
    head, rest = text.split(README_BEGIN, 1)
    _, tail = rest.split(README_END, 1)
    path.write_text(head + README_BEGIN + "\n" + snippet + README_END + tail, encoding="utf-8")


def write_report(out, args, cbor_tools, items, cbor_results, decoders, decode_results, delta_tools, delta_wls, delta_results, notes, index_md=(), index_plots=(), deterministic_md=(), streams_md=()):
    ours = toolmod.OURS
    cbor_peers = [t.name for t in cbor_tools if not t.ours]
    decode_peers = [t.name for t in decoders if not t.ours]
    delta_peers = delta_peer_names(delta_tools)
    methods = our_methods(delta_tools)
    all_tools = {t.name: t for t in cbor_tools + delta_tools}
    ours_tool = next(t for t in cbor_tools if t.name == ours)

    plots, plot_notes = [], []
    for name, draw, data in (
        ("delta_size_by_class.png", report.plot_class_means, (delta_wls, delta_results, delta_tools)),
        ("delta_size_vs_edits.png", report.plot_edit_series, (delta_wls, delta_results, delta_tools)),
        ("cbor_throughput.png", report.plot_cbor_throughput, (cbor_results, cbor_tools, items)),
    ):
        try:
            if draw(out / name, *data) is not False:
                plots.append(name)
        except ImportError as exc:
            plot_notes.append(f"No plots: matplotlib is not available ({exc}).")
            break
        except Exception as exc:  # a plot is not worth the figures of a long run
            plot_notes.append(f"No {name}: drawing it raised {type(exc).__name__}: {exc}.")

    cmd = shlex.join(["python", "bench/run.py"] + args.argv)
    elapsed = int(time.monotonic() - args.started)
    md = [
        "# Benchmark: tovarel_core against its peers",
        "",
        f"Generated {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} by `{cmd}`"
        f" ({profile_text(args)}), {args.repeats} interleaved repeat(s) per measurement; the run took"
        f" {elapsed // 60} min {elapsed % 60} s.",
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
        "- Our delta of the single byte 0xF6 means \"no change\": the check then expects equal values and keeps the old one.",
        "- Warm-up: one untimed call per tool, which also sets how many calls make one sample last at least "
        f"{timing.MIN_SAMPLE * 1e3:.0f} ms. Then the tools are timed in turn within each repeat (ours, peer, ours, "
        "peer, ...), and the median sample is reported. Garbage collection is off while timing.",
        f"- A call that takes longer than {timing.LONG_CALL:.0f} s is not repeated: its first run is the figure, marked ¹."
        f" A tool whose slowest rate so far in the workload's class predicts more than {MAX_PREDICTED_CALL:.0f} s for one"
        " diff is not run there (listed under caps).",
        "- Every ratio compares figures from this same run. **Speed ratio = peer time / our time** (above 1: we are "
        "faster). **Size ratio = our bytes / peer bytes** (below 1: our output is smaller).",
        "- zstd is run as its command line's `--patch-from` runs it: the old value is the *prefix* of the new one, the "
        "window covers both, long-distance matching is on. Delta times include what a caller pays: handing zstd "
        "the old value on both sides, and copying our result into `bytes`.",
        "- Delta workloads fall into classes, and means are given per class, never across them: "
        + "; ".join(f"**{label}**" for label in workloads.CLASSES.values())
        + " (random against random, and the same bytes as shuffled 4 KiB blocks: the slowest input for our "
        "default method, which finds matches in order only).",
        "",
        "## CBOR encoding",
        "",
        report.cbor_section(cbor_results, cbor_tools, items),
        "",
        f"### Ratios, {ours} (defaults) against each peer",
        "",
        report.cbor_ratio_section(cbor_results, ours, cbor_peers),
        "",
        "### dumps against its plain path",
        "",
        plain_path_section(cbor_results, cbor_tools),
        "",
        "### Deterministic encodings: sorted keys",
        "",
        *(deterministic_md or ["Not measured."]),
        "",
        "## CBOR decoding",
        "",
        "Median decode time in milliseconds per call; ours decodes our definite-length encoding, each peer its "
        "own encoding of the same value, and every result is compared with the value first.",
        "",
        report.decode_section(decode_results, decoders),
        "",
    ]
    dec_ours = next(t for t in decoders if t.ours)
    if dec_ours.usable:
        md += [f"### Ratios, {ours} loads against each peer", "", report.cbor_ratio_section(decode_results, ours, decode_peers, "decode", sizes=False), ""]
    else:
        md += [f"No ratios: our decoder is {dec_ours.status}.", ""]
    md += ["### Files and streams", ""]
    md += list(streams_md) or ["Not measured."]
    md += ["", "## Binary deltas", ""]
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
        "### Means by class",
        "",
    ]
    for method in methods:
        others = [p for p in delta_peers if all_tools[p].usable] + [m for m in our_baselines(method) if m in methods]
        md += [f"{method}:", "", report.class_section(delta_results, delta_wls, method, others), ""]
    if not all_tools[toolmod.INDEX].usable:
        md += [f"The index method was not measured: {all_tools[toolmod.INDEX].status}.", ""]
    totals = compact_totals(list(all_tools.values()), delta_results, delta_wls)
    md += ["### Total size per class: the compact form", ""]
    md += [totals if totals else "No figures (the compact form or its peers did not run).", ""]
    packed = report.packed_section(delta_results, delta_wls, methods, "bsdiff4")
    md += ["### Real version pairs: our deltas compressed by zstd -19, against bsdiff4", ""]
    md += [packed if packed else "No figures (no real version pair, or zstd missing).", ""]
    for method in methods:
        for peer in delta_peers + [m for m in our_baselines(method) if m in methods]:
            if all_tools[peer].usable:
                md += [f"### {method} against {peer}", "", report.delta_ratio_section(delta_results, delta_wls, method, peer), ""]
    md += ["### The index method: levels, the build before, scaling and threads", ""]
    md += list(index_md) or ["Not measured."]
    md += [""]
    plots += list(index_plots)
    md += ["### Workload sources", ""]
    md += [f"- {wl.name}: {wl.note}" for wl in delta_wls if wl.note]
    md += ["", "## Where we lose", ""]
    lost = report.losses(cbor_results, ours, cbor_peers, "cbor")
    lost += report.losses(decode_results, ours, decode_peers, "decode")
    for method in methods:
        for cls, label in workloads.CLASSES.items():
            names = {wl.name for wl in delta_wls if wl.cls == cls}
            subset = {n: c for n, c in delta_results.items() if n in names}
            tag = f" ({label})" if method == ours else f" ({method}, {label})"
            lost += report.losses(subset, method, delta_peers, "delta", tag)
    if not all_tools[ours].usable:
        lost = [f"- Nothing could be compared: {ours} is {all_tools[ours].status}."]
    md += lost or ["- Nowhere in this run."]
    md += ["", "## Caps, omissions and failures", ""]
    caps = list(notes) + plot_notes
    for kind, ts in (("encoding", all_tools.values()), ("decoding", decoders)):
        caps += [f"{t.name} ({kind if t.kind == 'cbor' else t.kind}): {t.status}; not timed." for t in ts if not t.usable]
    for kind, res in (("CBOR", cbor_results), ("decoding", decode_results), ("delta", delta_results)):
        for wl, cells in res.items():
            for name, c in cells.items():
                if c.status == "n/a":
                    caps.append(f"{name} on “{wl}” ({kind}): n/a, the format cannot represent it ({c.reason}).")
                elif c.status == "failed" and kind != "delta" and c.reason and not c.reason.startswith(("missing", "failed its")):
                    caps.append(f"{name} on “{wl}” ({kind}): failed its round-trip check ({c.reason}); not timed.")
    md += [f"- {c}" for c in dict.fromkeys(caps)] or ["- None."]
    md += ["", "## Plots", ""]
    md += [f"![{p}]({p})" for p in plots] or ["- None."]
    (out / "report.md").write_text("\n".join(md) + "\n", encoding="utf-8")


def select(wls, only):
    return wls if not only else [wl for wl in wls if any(o.lower() in wl.name.lower() for o in only)]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="tiny workloads and one repeat (tests the harness)")
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT, help="directory for report.md and plots")
    ap.add_argument("--repeats", type=int, default=None, help="interleaved repeats per measurement (default 5, quick 1)")
    ap.add_argument("--only", action="append", default=[], metavar="TEXT",
                    help="run only workloads whose name contains TEXT (repeatable; a partial report)")
    ap.add_argument("--baseline", default=None, metavar="SO",
                    help="an earlier build's shared object, whose index method is measured beside this one's")
    ap.add_argument("--readme", type=Path, default=None, metavar="README",
                    help="also replace the figures block of README's Performance section")
    args = ap.parse_args(argv)
    args.argv = list(sys.argv[1:] if argv is None else argv)
    args.started = time.monotonic()
    if args.repeats is None:
        args.repeats = 1 if args.quick else 5
    if args.repeats < 1:
        ap.error("--repeats must be at least 1")
    args.out.mkdir(parents=True, exist_ok=True)
    progress = Progress()
    sizes = workloads.QUICK if args.quick else workloads.FULL

    progress("loading tools")
    cbor_tools, decoders, delta_tools = toolmod.cbor_tools(), toolmod.cbor_decoders(), toolmod.delta_tools()
    for t in cbor_tools + decoders + delta_tools:
        if not t.usable:
            progress(f"{t.name}: {t.status}")

    progress("building CBOR workloads")
    cbor_wls = select(workloads.cbor_workloads(sizes), args.only)
    items = {wl.name: wl.items for wl in cbor_wls}
    cbor_results, notes = run_cbor(cbor_wls, cbor_tools, args.repeats, progress)
    decode_results = run_cbor_decode(cbor_wls, decoders, args.repeats, progress)
    det_tools = deterministic.tools()
    det_results, det_notes = run_cbor(deterministic.select(cbor_wls), det_tools, args.repeats, progress)
    deterministic_md = deterministic.section(det_results, det_tools, items)
    notes += det_notes
    streams_md = []
    if streams is not None and (not args.only or any(o.lower() in "streams" for o in args.only)):
        progress("files and streams")
        size = STREAMS_QUICK if args.quick else STREAMS_FULL
        streams_md = streams.run(size, f"{streams.DEFAULT_PATH}.{size}", min(args.repeats, 3))
    del cbor_wls  # the values are large; only their names and item counts are needed now
    gc.collect()

    progress("building delta workloads")
    lacking = []
    delta_wls = select(workloads.delta_workloads(sizes, lacking), args.only)
    delta_results, delta_notes = run_deltas(delta_wls, delta_tools, args.repeats, progress, toolmod.packer())
    delta_notes += lacking
    progress("index method figures")
    index_md, index_plots = index_figures.run(args.out, delta_wls, args.baseline, args.repeats, progress)

    progress("writing the report")
    write_report(args.out, args, cbor_tools, items, cbor_results, decoders, decode_results, delta_tools, delta_wls, delta_results, notes + delta_notes, index_md, index_plots, deterministic_md, streams_md)
    snippet = readme_tables(args, cbor_tools, cbor_results, decoders, decode_results, delta_tools, delta_wls, delta_results)
    (args.out / "readme_tables.md").write_text(snippet, encoding="utf-8")
    if args.readme:
        put_into_readme(args.readme, snippet)
    progress(f"done: {args.out / 'report.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
