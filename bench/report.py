"""Turns measured cells into the Markdown report and its plots.

Every ratio compares figures taken in the same run.  Speed ratios are the
peer's time over ours (above 1: we are faster); size ratios are our bytes
over the peer's (below 1: our output is smaller).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from timing import ratio
from workloads import CLASSES


@dataclass
class Cell:
    status: str = "ok"  # ok, n/a, failed, skipped
    reason: str = ""
    size: int | None = None
    encode: object = None  # timing.Result
    decode: object = None
    diff: object = None
    patch: object = None
    packed: int | None = None  # the delta's size once compressed by zstd -19


def fmt_bytes(n):
    if n is None:
        return "—"
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if n >= 1 << shift:
            return f"{n / (1 << shift):.1f} {unit}"
    return f"{n} B"


def fmt_ms(seconds):
    if seconds is None:
        return "—"
    ms = seconds * 1e3
    if ms >= 100:
        return f"{ms:.0f}"
    if ms >= 1:
        return f"{ms:.1f}"
    return f"{ms:.3f}"


def fmt_ratio(r):
    """Two decimals where that is enough, two significant digits below 0.1."""
    if r is None:
        return "—"
    return f"{r:.2f}×" if r >= 0.1 else f"{r:.2g}×"


def median_of(res):
    return None if res is None else res.median


def runs_mark(res):
    """Flags a timing that rests on a single capped run."""
    return " ¹" if res is not None and res.capped else ""


def cell_text(cell, value):
    if cell is None or cell.status == "missing":
        return "missing"
    if cell.status != "ok":
        return cell.status
    return value


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


def geomean(values):
    vals = [v for v in values if v is not None and v > 0]
    if not vals:
        return None
    return math.exp(sum(math.log(v) for v in vals) / len(vals))


# ------------------------------------------------------------------ ratios


def cbor_ratios(cells, ours, peer, metric="encode"):
    """(speed, size) of ours against a peer on one workload, or Nones."""
    a, b = cells.get(ours), cells.get(peer)
    if not a or not b or a.status != "ok" or b.status != "ok":
        return None, None
    return ratio(median_of(getattr(b, metric)), median_of(getattr(a, metric))), ratio(a.size, b.size)


def delta_ratios(cells, ours, peer):
    """(size, diff speed, patch speed) of ours against a peer on one workload."""
    a, b = cells.get(ours), cells.get(peer)
    if not a or not b or a.status != "ok" or b.status != "ok":
        return None, None, None
    return (
        ratio(a.size, b.size),
        ratio(median_of(b.diff), median_of(a.diff)),
        ratio(median_of(b.patch), median_of(a.patch)),
    )


def losses(results, ours, peers, kind, label=""):
    """Lists, per peer and metric, the workloads where the peer does better."""
    metrics = {
        "cbor": ("encode speed",),
        "decode": ("decode speed",),
        "delta": ("delta size", "diff speed", "patch speed"),
    }[kind]
    out = []
    for peer in peers:
        for i, metric in enumerate(metrics):
            lost, compared = [], 0
            for name, cells in results.items():
                if kind == "delta":
                    rs = delta_ratios(cells, ours, peer)
                else:
                    rs = cbor_ratios(cells, ours, peer, kind.replace("cbor", "encode"))[:1]
                r = rs[i]
                if r is None:
                    continue
                compared += 1
                worse = r > 1 if metric == "delta size" else r < 1
                if worse:
                    factor = r if metric == "delta size" else 1 / r
                    lost.append(f"{name} ({factor:.2f}×)")
            if lost:
                out.append(f"- **{peer}, {metric}**{label}: {peer} is better on {len(lost)} of {compared} workloads — " + "; ".join(lost))
    return out


# ----------------------------------------------------------------- sections


def tools_section(tools):
    rows = [(t.name, t.version, t.status, t.note) for t in tools]
    return table(("tool", "version", "status", "notes"), rows)


def cbor_section(results, tools, items):
    names = [t.name for t in tools]
    rows = []
    for wl, cells in results.items():
        row = [wl, f"{items[wl]:,}"]
        for n in names:
            c = cells.get(n)
            if c and c.status == "ok":
                row.append(f"{fmt_ms(median_of(c.encode))}{runs_mark(c.encode)} / {fmt_bytes(c.size)}")
            else:
                row.append(cell_text(c, ""))
        rows.append(row)
    parts = [
        "Median encode time in milliseconds per call, and encoded size.",
        "",
        table(["workload", "items"] + names, rows),
    ]
    return "\n".join(parts)


def cbor_ratio_section(results, ours, peers, metric="encode", sizes=True):
    header = ["workload"] + [f"speed vs {p}" for p in peers] + ([f"size vs {p}" for p in peers] if sizes else [])
    rows = []
    for wl, cells in results.items():
        rs = [cbor_ratios(cells, ours, p, metric) for p in peers]
        rows.append([wl] + [fmt_ratio(s) for s, _ in rs] + ([fmt_ratio(z) for _, z in rs] if sizes else []))
    rows.append(
        ["**geometric mean**"]
        + [fmt_ratio(cbor_mean(results, ours, p, metric)[0]) for p in peers]
        + ([fmt_ratio(cbor_mean(results, ours, p, metric)[1]) for p in peers] if sizes else [])
    )
    return table(header, rows)


def cbor_mean(results, ours, peer, metric="encode"):
    """Geometric means of (speed, size) ratios over every compared workload."""
    rs = [cbor_ratios(c, ours, peer, metric) for c in results.values()]
    return geomean(r[0] for r in rs), geomean(r[1] for r in rs)


def decode_section(results, tools):
    names = [t.name for t in tools]
    rows = []
    for wl, cells in results.items():
        row = [wl]
        for n in names:
            c = cells.get(n)
            row.append(f"{fmt_ms(median_of(c.decode))}{runs_mark(c.decode)}" if c and c.status == "ok" else cell_text(c, ""))
        rows.append(row)
    return table(["workload"] + names, rows)


def delta_tables(results, workloads, tools):
    names = [t.name for t in tools]

    def size_text(c, wl):
        return f"{fmt_bytes(c.size)} ({c.size / max(1, len(wl.new)):.2%})"

    def time_text(res):
        return f"{fmt_ms(median_of(res))}{runs_mark(res)}"

    size_rows, diff_rows, patch_rows = [], [], []
    for wl in workloads:
        cells = results[wl.name]
        ok = {n: c for n, c in cells.items() if c.status == "ok"}
        size_rows.append(
            [wl.name, fmt_bytes(len(wl.old)), fmt_bytes(len(wl.new))]
            + [size_text(ok[n], wl) if n in ok else cell_text(cells.get(n), "") for n in names]
        )
        diff_rows.append([wl.name] + [time_text(ok[n].diff) if n in ok else cell_text(cells.get(n), "") for n in names])
        patch_rows.append([wl.name] + [time_text(ok[n].patch) if n in ok else cell_text(cells.get(n), "") for n in names])
    return (
        table(["workload", "old", "new"] + names, size_rows),
        table(["workload"] + names, diff_rows),
        table(["workload"] + names, patch_rows),
    )


def delta_ratio_section(results, workloads, ours, peer):
    """Per-workload ratios, with the geometric mean of each class after it."""
    rows = []
    for cls, label in CLASSES.items():
        members = [wl.name for wl in workloads if wl.cls == cls]
        if not members:
            continue
        for name in members:
            rows.append([name] + [fmt_ratio(r) for r in delta_ratios(results[name], ours, peer)])
        means = class_means(results, members, ours, peer)
        rows.append([f"**{label}, geometric mean**"] + [fmt_ratio(m) for m in means])
    return table(["workload", f"size, {ours} / {peer}", f"diff speed, {peer} time / ours", f"patch speed, {peer} time / ours"], rows)


def class_means(results, names, ours, peer):
    """Geometric means of (size, diff speed, patch speed) over some workloads."""
    rs = [delta_ratios(results[n], ours, peer) for n in names]
    return tuple(geomean(r[i] for r in rs) for i in range(3))


def compared(results, names, ours, peer):
    return sum(delta_ratios(results[n], ours, peer)[0] is not None for n in names)


def class_rows(results, workloads, ours, peers):
    """One row per peer and class: workloads compared, then the three means."""
    rows = []
    for peer in peers:
        for cls, label in CLASSES.items():
            names = [wl.name for wl in workloads if wl.cls == cls]
            n = compared(results, names, ours, peer)
            if n:
                rows.append([peer, label, str(n)] + [fmt_ratio(m) for m in class_means(results, names, ours, peer)])
    return rows


def class_section(results, workloads, ours, peers):
    return table(["peer", "class", "workloads", f"size, {ours} / peer", "diff speed, peer time / ours", "patch speed, peer time / ours"],
                 class_rows(results, workloads, ours, peers))


def class_wins(results, workloads, ours, peers):
    """Says, per class and peer, where the peer does better and by how much."""
    out = []
    metrics = ("smaller deltas", "faster diff", "faster patch")
    for cls, label in CLASSES.items():
        names = [wl.name for wl in workloads if wl.cls == cls]
        for peer in peers:
            parts = []
            for i, metric in enumerate(metrics):
                worse = []
                for n in names:
                    r = delta_ratios(results[n], ours, peer)[i]
                    if r is not None and (r > 1 if i == 0 else r < 1):
                        worse.append((r if i == 0 else 1 / r, n))
                if worse:
                    factor, name = max(worse)
                    total = compared(results, names, ours, peer)
                    parts.append(f"{metric} on {len(worse)} of {total} (up to {factor:.3g}× on {name})")
            if parts:
                out.append(f"- {label}, **{peer}** wins with " + "; ".join(parts) + ".")
    return out


def class_total_rows(results, workloads, ours, peers):
    """One row per class: total bytes of ours and of each peer, and ours over
    each peer's total.  The goals of the compact form are stated in totals,
    which a few large pairs dominate, where the means weigh every pair alike.
    Only workloads on which ours and every listed peer ran are counted."""
    rows = []
    for cls, label in CLASSES.items():
        names = [wl.name for wl in workloads if wl.cls == cls]
        usable = [
            n for n in names
            if all(results[n].get(t) is not None and results[n][t].status == "ok" for t in [ours] + peers)
        ]
        if not usable:
            continue
        totals = [sum(results[n][t].size for n in usable) for t in [ours] + peers]
        row = [label, f"{len(usable)} of {len(names)}", fmt_bytes(totals[0])]
        for total in totals[1:]:
            row += [fmt_bytes(total), fmt_ratio(ratio(totals[0], total))]
        rows.append(row)
    return rows


def class_total_section(results, workloads, ours, peers):
    """The table of class_total_rows, or None when no class has figures."""
    rows = class_total_rows(results, workloads, ours, peers)
    if not rows:
        return None
    header = ["class", "workloads", ours]
    for peer in peers:
        header += [peer, f"{ours} / {peer}"]
    return table(header, rows)


def packed_section(results, workloads, packed_tools, peer):
    """Our deltas raw and compressed by zstd -19 against a peer's, summed."""
    names = [wl.name for wl in workloads if wl.cls == "real"]
    header = ["workload", peer]
    for t in packed_tools:
        header += [t, f"{t} + zstd -19"]
    rows, totals = [], [0] * (1 + 2 * len(packed_tools))
    complete = True
    for n in names:
        cells = results[n]
        vals = [cells[peer].size if cells.get(peer) and cells[peer].status == "ok" else None]
        for t in packed_tools:
            c = cells.get(t)
            ok = c is not None and c.status == "ok"
            vals += [c.size if ok else None, c.packed if ok else None]
        complete = complete and None not in vals
        totals = [a + (b or 0) for a, b in zip(totals, vals)]
        rows.append([n] + [fmt_bytes(v) if v is not None else "—" for v in vals])
    if not rows:
        return None
    rows.append(["**total**"] + [f"**{fmt_bytes(v)}**" for v in totals])
    rows.append([f"**total / {peer}'s**"] + [fmt_ratio(ratio(v, totals[0])) for v in totals])
    text = table(header, rows)
    if not complete:
        text += "\n\nSome cells have no figure, so the totals cover different workloads; do not compare them."
    return text


# -------------------------------------------------------------------- plots


def plot_edit_series(path, workloads, results, tools):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    bases = []
    for wl in workloads:
        if wl.edits is not None and wl.base not in bases:
            bases.append(wl.base)
    if not bases:
        return False  # a partial run without the edit series
    fig, axes = plt.subplots(1, len(bases), figsize=(6 * len(bases), 4.5), squeeze=False)
    for ax, base in zip(axes[0], bases):
        series = [wl for wl in workloads if wl.base == base and wl.edits is not None]
        for t in tools:
            pts = [(wl.edits, results[wl.name][t.name].size) for wl in series if results[wl.name].get(t.name) and results[wl.name][t.name].status == "ok"]
            if pts:
                ax.plot(*zip(*pts), marker="o", label=t.name, linewidth=2.5 if t.ours else 1.2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("random edits (insert / delete / replace)")
        ax.set_ylabel("delta size, bytes")
        new_size = len(series[0].new) if series else 0
        ax.set_title(f"{base} ({fmt_bytes(new_size)})")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.suptitle("Delta size against number of edits (lower is better)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_cbor_throughput(path, results, tools, items):
    """Bars of each tool's encoding throughput relative to a reference tool.

    The workloads' absolute rates differ by orders of magnitude (a blob is one
    object, an int is one object), so one shared axis only reads well in
    relative terms; the reference is ours when it ran, else the first peer."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [t.name for t in tools]
    ref = next((t.name for t in tools if t.usable), names[0])
    wls = list(results)
    if not wls:
        return False
    width = 0.8 / max(1, len(names))
    fig, ax = plt.subplots(figsize=(11, 5))
    for i, n in enumerate(names):
        xs, ys = [], []
        for j, wl in enumerate(wls):
            c, r = results[wl].get(n), results[wl].get(ref)
            x = j + (i - (len(names) - 1) / 2) * width
            rel = None
            if c and r and c.status == "ok" and r.status == "ok":
                rel = ratio(median_of(r.encode), median_of(c.encode))
            if rel:
                xs.append(x)
                ys.append(rel)
            else:
                label = c.status if c and c.status != "ok" else "–"
                ax.text(x, 0.02, label, ha="center", va="bottom", fontsize=7, rotation=90)
        ax.bar(xs, ys, width, label=n)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_xticks(range(len(wls)))
    ax.set_xticklabels([f"{wl}\n({items[wl]:,} objects)" for wl in wls], fontsize=8)
    ax.set_ylabel(f"throughput relative to {ref}")
    ax.set_title(f"CBOR encoding throughput relative to {ref} (higher is faster)")
    ax.grid(True, axis="y", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_class_means(path, workloads, results, tools):
    """Bars of each tool's delta size by class, as the geometric mean of its
    share of the new value, on a log axis (the worst cases sit near 100%,
    sparse edits far below 1%)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    classes = [c for c in CLASSES if any(wl.cls == c for wl in workloads)]
    if not classes:
        return False
    names = [t.name for t in tools if t.usable]
    width = 0.8 / max(1, len(names))
    fig, ax = plt.subplots(figsize=(10, 4.5))
    for i, n in enumerate(names):
        xs, ys = [], []
        for j, cls in enumerate(classes):
            shares = [
                results[wl.name][n].size / max(1, len(wl.new))
                for wl in workloads
                if wl.cls == cls and results[wl.name].get(n) and results[wl.name][n].status == "ok"
            ]
            mean = geomean(shares)
            if mean:
                xs.append(j + (i - (len(names) - 1) / 2) * width)
                ys.append(mean * 100)
        ax.bar(xs, ys, width, label=n)
    ax.set_yscale("log")
    ax.set_xticks(range(len(classes)))
    ax.set_xticklabels([CLASSES[c] for c in classes])
    ax.set_ylabel("delta size, % of the new value (geometric mean)")
    ax.set_title("Delta size by workload class (lower is better)")
    ax.grid(True, axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
