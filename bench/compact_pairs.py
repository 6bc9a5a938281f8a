"""Compiled binaries between consecutive releases: the compact form against
the plain index method, bsdiff4 and zstd patch-from, in one run.

    python bench/compact_pairs.py [--repeats N] [--only TEXT] [--quick]

The pairs come from this machine at run time: shared objects inside the
wheels of two patch releases of the same package (found in WHEEL_DIRS),
libpython of two interpreter versions and their lib-dynload modules (found
under PYENV).  A pair whose files are missing is skipped and named.  Sizes
are totals over the pairs; times are geometric means of the per-pair ratio
to zstd-3 in the same run, each measured interleaved with the others
(bench/timing.py), so a slow moment of the machine falls on every tool.
"""

from __future__ import annotations

import argparse
import math
import sys
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import timing  # noqa: E402
import tools as toolmod  # noqa: E402

WHEEL_DIRS = [Path("/opt/pypi-more/files"), Path("/opt/pypi/files")]
PYENV = Path("/root/.pyenv/versions")

# (package, old release, new release, members: path prefixes inside the wheel)
WHEEL_PAIRS = [
    ("numpy", "2.4.0", "2.4.1", ["numpy/_core/_multiarray_umath", "numpy/linalg/_umath_linalg", "numpy/random/_generator"]),
    ("scipy", "1.10.0", "1.10.1", ["scipy/optimize/_highs/_highs_wrapper", "scipy/special/cython_special", "scipy/linalg/_flapack", "scipy/special/_ufuncs"]),
    ("scipy", "1.15.0", "1.15.3", ["scipy/special/_ufuncs", "scipy/spatial/_ckdtree", "scipy/linalg/_flapack", "scipy/optimize/_highs/_highs_wrapper"]),
]
INTERPRETERS = ["3.10.13", "3.11.7", "3.12.1", "3.13.0"]
DYNLOAD_MODULES = ["_decimal", "_pickle", "_datetime", "_socket"]
TOOLS = [toolmod.INDEX, toolmod.COMPACT, "bsdiff4", "zstd-3", "zstd-19"]
BASELINE = "zstd-3"


def wheel(package, version):
    for d in WHEEL_DIRS:
        found = sorted(d.glob(f"{package}-{version}-cp311-*.whl")) if d.is_dir() else []
        if found:
            return found[0]
    return None


def member(path, prefix):
    with zipfile.ZipFile(path) as z:
        names = [n for n in z.namelist() if n.startswith(prefix) and n.endswith(".so")]
        return z.read(names[0]) if names else None


def pairs(skipped):
    for package, old, new, members in WHEEL_PAIRS:
        a, b = wheel(package, old), wheel(package, new)
        for prefix in members:
            x, y = (member(a, prefix), member(b, prefix)) if a and b else (None, None)
            name = f"{prefix.rsplit('/', 1)[-1]}.so {package} {old} to {new}"
            if x is None or y is None:
                skipped.append(name)
            elif x != y:
                yield name, x, y
    for old, new in zip(INTERPRETERS, INTERPRETERS[1:]):
        major = lambda v: ".".join(v.split(".")[:2])  # noqa: E731
        lib = lambda v: PYENV / v / "lib" / f"libpython{major(v)}.so.1.0"  # noqa: E731
        if major(old) == "3.12" and lib(old).exists() and lib(new).exists():
            yield f"libpython {major(old)} to {major(new)}", lib(old).read_bytes(), lib(new).read_bytes()
        for module in DYNLOAD_MODULES:
            found = [sorted((PYENV / v / "lib" / f"python{major(v)}" / "lib-dynload").glob(f"{module}.cpython-*.so")) for v in (old, new)]
            name = f"{module}.so {major(old)} to {major(new)}"
            if all(found):
                yield name, found[0][0].read_bytes(), found[1][0].read_bytes()
            else:
                skipped.append(name)


def geomean(values):
    values = [v for v in values if v]
    return math.exp(sum(map(math.log, values)) / len(values)) if values else None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--only", action="append", default=[], metavar="TEXT", help="pairs whose name contains TEXT")
    ap.add_argument("--quick", action="store_true", help="the first pair only, one repeat")
    args = ap.parse_args()
    by_name = {t.name: t for t in toolmod.delta_tools()}
    chosen = [by_name[n] for n in TOOLS if by_name[n].usable]
    skipped = []
    rows = []
    for name, old, new in pairs(skipped):
        if args.only and not any(text in name for text in args.only):
            continue
        cases, sizes = [], {}
        for t in chosen:
            delta = t.diff(old, new)
            if t.patch(old, delta) != new:
                raise SystemExit(f"{t.name} does not rebuild {name}")
            sizes[t.name] = len(delta)
            cases.append(timing.Case(("diff", t.name), lambda t=t: t.diff(old, new)))
            cases.append(timing.Case(("patch", t.name), lambda t=t, d=delta: t.patch(old, d)))
        times = timing.measure(cases, 1 if args.quick else args.repeats)
        rows.append((name, len(new), sizes, {k: r.median for k, r in times.items()}))
        print(f"{name}: {len(new):,} B; " + ", ".join(f"{n} {s:,}" for n, s in sizes.items()), flush=True)
        if args.quick:
            break
    print()
    print("| tool | total size | size / bsdiff4 | diff time / zstd-3 | patch time / zstd-3 |")
    print("|---|---|---|---|---|")
    for t in chosen:
        total = sum(r[2][t.name] for r in rows)
        bsdiff = sum(r[2].get("bsdiff4", 0) for r in rows)
        diff = geomean([timing.ratio(r[3][("diff", t.name)], r[3].get(("diff", BASELINE))) for r in rows])
        patch = geomean([timing.ratio(r[3][("patch", t.name)], r[3].get(("patch", BASELINE))) for r in rows])
        fmt = lambda x: f"{x:.2f}x" if x else "-"  # noqa: E731
        print(f"| {t.name} | {total:,} | {fmt(total / bsdiff if bsdiff else None)} | {fmt(diff)} | {fmt(patch)} |")
    if skipped:
        print("\nSkipped (files not on this machine): " + "; ".join(skipped))


if __name__ == "__main__":
    main()
