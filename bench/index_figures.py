"""Figures of the index method that the tool tables cannot give: each level,
an earlier build on the same workloads, the time per MiB as values grow, and
one thread against two.

The core's C entry points are called through ctypes, from the installed
module's shared object (it exports every core function) and, with
--baseline, from another build's: no second Python module is imported, so
two builds of the same module can be timed side by side, alternately, in
one run.  Every ratio compares figures of this section's own run.
"""

from __future__ import annotations

import ctypes

import report
import timing
import tools as toolmod
import workloads

LEVELS = range(5)
CLASSES = ("real", "binaries")
BEFORE = "before"
ZSTD = "zstd-3"
# The two cores are measured on these workloads (the largest binary pair is
# added when there is one).
THREAD_WORKLOADS = ("MiB of system libraries, 100 edits",)


class Buf(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("len", ctypes.c_uint64), ("capacity", ctypes.c_uint64)]


class Options(ctypes.Structure):
    _fields_ = [("index_allowance", ctypes.c_uint64), ("level", ctypes.c_int32), ("threads", ctypes.c_int32)]


class Core:
    """The index method of one build of the core, by level and threads."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.buf_free.argtypes = [ctypes.POINTER(Buf)]
        self.lib.diff_index_generate_binary.restype = ctypes.POINTER(Buf)
        self.options = getattr(self.lib, "diff_index_generate_binary_with_options", None)
        if self.options is not None:
            self.options.restype = ctypes.POINTER(Buf)

    def diff(self, old, new, level=0, threads=0):
        views = [Buf(ctypes.cast(ctypes.c_char_p(v), ctypes.c_void_p), len(v), len(v)) for v in (old, new)]
        if self.options is None:
            result = self.lib.diff_index_generate_binary(ctypes.byref(views[0]), ctypes.byref(views[1]))
        else:
            opts = Options(0, level, threads)
            result = self.options(ctypes.byref(views[0]), ctypes.byref(views[1]), ctypes.byref(opts))
        if not result:
            raise MemoryError("the core returned no delta")
        try:
            return ctypes.string_at(result.contents.data, result.contents.len)
        finally:
            self.lib.buf_free(result)


def module_path():
    import tovarel_core

    return tovarel_core.__file__


def geomean_ratio(pairs):
    return report.geomean(timing.ratio(a, b) for a, b in pairs)


def level_rows(wls, cores, zstd, repeats, progress):
    """Per class and method: total size, and diff times against zstd-3's."""
    methods = [(f"level {n}", cores["new"], n) for n in LEVELS]
    if "before" in cores:
        methods.insert(0, (BEFORE, cores["before"], None))
    times, sizes = {}, {}
    for i, wl in enumerate(wls, 1):
        cases = []
        for name, core, level in methods:
            fn = (lambda c=core, w=wl: c.diff(w.old, w.new)) if level is None else (lambda c=core, w=wl, n=level: c.diff(w.old, w.new, n))
            sizes[wl.name, name] = len(fn())
            cases.append(timing.Case(name, fn))
        if zstd is not None:
            sizes[wl.name, ZSTD] = len(zstd(wl.old, wl.new))
            cases.append(timing.Case(ZSTD, lambda w=wl: zstd(w.old, w.new)))
        label = f"index figures {i}/{len(wls)} {wl.name}"
        for key, res in timing.measure(cases, repeats, progress=lambda r, n: progress(f"{label}: repeat {r}/{n}")).items():
            times[wl.name, key] = res.median
    names = [m[0] for m in methods] + ([ZSTD] if zstd is not None else [])
    return names, times, sizes


def levels_section(wls, names, times, sizes):
    rows = []
    for cls in CLASSES:
        members = [wl.name for wl in wls if wl.cls == cls]
        if not members:
            continue
        before = sum(sizes[n, BEFORE] for n in members) if BEFORE in names else None
        for name in names:
            total = sum(sizes[n, name] for n in members)
            speed = geomean_ratio((times[n, ZSTD], times[n, name]) for n in members) if ZSTD in names else None
            worst = min((timing.ratio(times[n, ZSTD], times[n, name]), n) for n in members) if ZSTD in names else (None, "")
            rows.append(
                [
                    workloads.CLASSES[cls],
                    name,
                    report.fmt_bytes(total),
                    report.fmt_ratio(timing.ratio(total, before)) if before else "—",
                    report.fmt_ratio(speed),
                    f"{report.fmt_ratio(worst[0])} ({worst[1]})" if worst[0] is not None else "—",
                    report.fmt_ms(sum(times[n, name] for n in members)),
                ]
            )
    return report.table(
        ["class", "method", "total size", "size / before", "diff speed, zstd-3 time / ours (geometric mean)", "slowest pair", "total diff time, ms"],
        rows,
    )


def scaling_rows(wls, core, repeats, progress):
    """Time per MiB of the largest binary pair against its first quarter,
    and two threads against one."""
    rows = []
    binaries = sorted((wl for wl in wls if wl.cls == "binaries"), key=lambda wl: len(wl.new))
    if binaries:
        wl = binaries[-1]
        quarter_old, quarter_new = wl.old[: len(wl.old) // 4], wl.new[: len(wl.new) // 4]
        cases = [
            timing.Case("whole", lambda: core.diff(wl.old, wl.new, 0, 1)),
            timing.Case("quarter", lambda: core.diff(quarter_old, quarter_new, 0, 1)),
        ]
        res = timing.measure(cases, repeats, progress=lambda r, n: progress(f"index scaling: repeat {r}/{n}"))
        per_mib = [res[k].median / (size / (1 << 20)) for k, size in (("whole", len(wl.new)), ("quarter", len(quarter_new)))]
        rows.append([f"{wl.name}: time per MiB, whole / first quarter (one thread)", report.fmt_ratio(timing.ratio(per_mib[0], per_mib[1]))])
    threaded = [wl for wl in wls if any(t in wl.name for t in THREAD_WORKLOADS)] + binaries[-1:]
    for wl in threaded:
        cases = [timing.Case(str(t), lambda t=t, w=wl: core.diff(w.old, w.new, 0, t)) for t in (1, 2)]
        res = timing.measure(cases, repeats, progress=lambda r, n: progress(f"index threads {wl.name}: repeat {r}/{n}"))
        rows.append([f"{wl.name}: one thread's time / two threads'", report.fmt_ratio(timing.ratio(res["1"].median, res["2"].median))])
    return rows


def plot_time_against_size(path, wls, names, times):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5))
    for name in names:
        points = sorted((len(wl.new), times[wl.name, name]) for wl in wls if (wl.name, name) in times)
        if points:
            ax.plot([p[0] / (1 << 20) for p in points], [p[1] * 1e3 for p in points], marker="o", label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("new value, MiB")
    ax.set_ylabel("diff time, ms")
    ax.set_title("Index method: diff time against size (real version pairs and compiled binaries)")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def run(out, wls, baseline, repeats, progress):
    """The section's Markdown lines and the plots it wrote."""
    try:
        cores = {"new": Core(module_path())}
    except (ImportError, OSError, AttributeError) as exc:
        return [f"Not measured: the module's core could not be loaded ({exc})."], []
    if cores["new"].options is None:
        return ["Not measured: this build has no diff_index_generate_binary_with_options."], []
    notes = []
    if baseline:
        try:
            cores["before"] = Core(baseline)
            notes.append(f"“{BEFORE}” is the index method of the build at {baseline}, at its only level.")
        except OSError as exc:
            notes.append(f"The build before could not be loaded ({exc}).")
    zstd = next((t.diff for t in toolmod.delta_tools() if t.name == ZSTD and t.usable), None)
    chosen = [wl for wl in wls if wl.cls in CLASSES]
    md = []
    plots = []
    if chosen:
        names, times, sizes = level_rows(chosen, cores, zstd, repeats, progress)
        md += ["By level (sizes are totals per class; speed is zstd-3's time over ours, so above 1 we are faster):", "", levels_section(chosen, names, times, sizes), ""]
        try:
            plot_time_against_size(out / "index_time_vs_size.png", chosen, names, times)
            plots.append("index_time_vs_size.png")
        except ImportError:
            notes.append("No time-against-size plot: matplotlib is not available.")
    scaling = scaling_rows(wls, cores["new"], repeats, progress)
    if scaling:
        md += ["Scaling and threads (level 0):", "", report.table(["measure", "ratio"], scaling), ""]
    md += [f"- {n}" for n in notes]
    return md, plots


def main(argv=None):
    """The scaling and thread rows alone, of this build and of a baseline's,
    the two alternated: a quick check of the two-core figure without the
    full bench's hour."""
    import argparse

    ap = argparse.ArgumentParser(description=main.__doc__.splitlines()[0])
    ap.add_argument("--baseline", default=None, metavar="SO", help="an earlier build's shared object, measured beside this one's")
    ap.add_argument("--repeats", type=int, default=5, help="interleaved repeats per measurement (default 5)")
    ap.add_argument("--rounds", type=int, default=1, help="times each build's rows are measured, alternated (default 1)")
    args = ap.parse_args(argv)
    wls = workloads.delta_workloads(workloads.FULL)
    chosen = [wl for wl in wls if wl.cls == "binaries" or any(t in wl.name for t in THREAD_WORKLOADS)]
    del wls
    cores = [("this build", Core(module_path()))]
    if args.baseline:
        cores.insert(0, ("baseline", Core(args.baseline)))
    for round_ in range(args.rounds):
        for name, core in cores:
            for measure, ratio in scaling_rows(chosen, core, args.repeats, lambda message: None):
                print(f"round {round_ + 1}, {name}: {measure}: {ratio}", flush=True)
    return 0


if __name__ == "__main__":
    import sys

    sys.exit(main())
