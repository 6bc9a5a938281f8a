"""Measures what checked deltas and buffer inputs cost, each as a ratio to a
baseline timed in the same run, alternated with it.

    python bench/checked.py [--repeats N] [--quick]

1. Patching a checked delta against patching the same delta without its
   check, on 64 MiB of libraries with 100 edits: delta.patch and
   Differ(checked=True).patch, the call alone and with the result copied
   out by bytes() as bench/run.py times it.
2. Diffing with checked=True against without, on the real version pairs,
   both methods: the total time and the largest ratio of a single pair.
3. Differ.diff on two 64 MiB files mapped with mmap against the same
   content as bytes, and the peak resident set it adds, measured in a
   subprocess with resource, against the size of one input.
"""

from __future__ import annotations

import argparse
import math
import mmap
import random
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import timing  # noqa: E402
import workloads  # noqa: E402
from tovarel_core import delta  # noqa: E402

# Peak resident set of one Differ.diff on a mapped pair, in a fresh process:
# the pages of both files are read once first (they count as resident once
# mapped and touched), so what the figure adds is the diff's own memory.
RSS_SCRIPT = """
import mmap, resource, sys, zlib
from tovarel_core import delta
files = [open(path, "rb") for path in sys.argv[1:3]]
if sys.argv[3] == "mmap":
    values = [mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) for f in files]
else:
    values = [f.read() for f in files]
for value in values:
    zlib.crc32(value)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if sys.argv[4] == "copy":
    values = [bytes(value) for value in values]
result = delta.Differ().diff(*values)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after, len(result))
"""

# Linux carries a process's peak resident set across fork and exec, so a
# child of this process (which holds the workload, hundreds of MB) would
# start with this process's peak and could never show a smaller growth.
# The measuring process is therefore started by a small launcher of its
# own, whose peak is what it inherits.
LAUNCHER = "import subprocess, sys; sys.exit(subprocess.run(sys.argv[1:]).returncode)"


def ratio_line(label, value, base):
    print(f"  {label:<58} {value * 1e3:9.2f} ms  {value / base:6.3f}x")


def measure_pairs(cases, repeats):
    results = timing.measure([timing.Case(k, f) for k, f in cases], repeats)
    return {key: result.median for key, result in results.items()}


def patch_cost(big, repeats):
    print(f"1. patch, {big.name} ({len(big.old):,} bytes)")
    plain = bytes(delta.Differ().diff(big.old, big.new))
    checked = bytes(delta.Differ(checked=True).diff(big.old, big.new))
    checker = delta.Differ(checked=True)
    unchecked = delta.Differ()
    assert bytes(delta.patch(big.old, checked)) == big.new
    times = measure_pairs(
        [
            ("patch", lambda: delta.patch(big.old, plain)),
            ("patch checked", lambda: delta.patch(big.old, checked)),
            ("Differ.patch", lambda: unchecked.patch(big.old, plain)),
            ("Differ.patch checked", lambda: checker.patch(big.old, checked)),
            ("bytes(patch)", lambda: bytes(delta.patch(big.old, plain))),
            ("bytes(patch checked)", lambda: bytes(delta.patch(big.old, checked))),
        ],
        repeats,
    )
    ratio_line("delta.patch, delta without its check (baseline)", times["patch"], times["patch"])
    ratio_line("delta.patch, checked delta", times["patch checked"], times["patch"])
    ratio_line("Differ().patch, delta without its check (baseline)", times["Differ.patch"], times["Differ.patch"])
    ratio_line("Differ(checked=True).patch, checked delta", times["Differ.patch checked"], times["Differ.patch"])
    ratio_line("bytes(delta.patch(...)), without the check (baseline)", times["bytes(patch)"], times["bytes(patch)"])
    ratio_line("bytes(delta.patch(...)), checked", times["bytes(patch checked)"], times["bytes(patch)"])
    return times["patch checked"] / times["patch"]


def diff_cost(pairs, repeats):
    print(f"2. diff, {len(pairs)} real version pairs")
    worst = 1.0
    summary = {}
    for method in ("myers", "index"):
        plain, checked = delta.Differ(method=method), delta.Differ(method=method, checked=True)
        cases = []
        for wl in pairs:
            cases.append((f"{wl.name} plain", lambda _w=wl: plain.diff(_w.old, _w.new)))
            cases.append((f"{wl.name} checked", lambda _w=wl: checked.diff(_w.old, _w.new)))
        times = measure_pairs(cases, repeats)
        base = sum(times[f"{wl.name} plain"] for wl in pairs)
        total = sum(times[f"{wl.name} checked"] for wl in pairs)
        ratios = [times[f"{wl.name} checked"] / times[f"{wl.name} plain"] for wl in pairs]
        worst = max(worst, max(ratios))
        geo = math.exp(sum(math.log(r) for r in ratios) / len(ratios))
        ratio_line(f"{method}: all pairs, without the check (baseline)", base, base)
        ratio_line(f"{method}: all pairs, checked=True", total, base)
        print(f"  {method}: geometric mean of the pairs' ratios {geo:.3f}x, largest {max(ratios):.3f}x")
        summary[method] = total / base
    return summary, worst


def mmap_cost(big, repeats):
    print(f"3. Differ.diff on a mapped pair, {big.name}")
    with tempfile.TemporaryDirectory() as scratch:
        paths = [Path(scratch) / "old", Path(scratch) / "new"]
        paths[0].write_bytes(big.old)
        paths[1].write_bytes(big.new)
        files = [open(path, "rb") for path in paths]
        maps = [mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) for f in files]
        differ = delta.Differ()
        assert differ.diff(*maps) == differ.diff(big.old, big.new)
        times = measure_pairs(
            [("bytes", lambda: differ.diff(big.old, big.new)), ("mmap", lambda: differ.diff(*maps))], repeats
        )
        ratio_line("Differ().diff on bytes (baseline)", times["bytes"], times["bytes"])
        ratio_line("Differ().diff on mmap", times["mmap"], times["bytes"])
        for value in maps:
            value.close()
        for f in files:
            f.close()
        growth = {}
        # The last row copies the mapped inputs into bytes first: it shows
        # what the figure would be if the differ copied them.
        for kind, copy in (("mmap", "no"), ("bytes", "no"), ("mmap", "copy")):
            out = subprocess.run(
                [sys.executable, "-c", LAUNCHER, sys.executable, "-c", RSS_SCRIPT, str(paths[0]), str(paths[1]), kind, copy],
                capture_output=True, text=True, check=True,
            ).stdout.split()
            before, after = int(out[0]) * 1024, int(out[1]) * 1024
            label = kind + (", both copied into bytes first (control)" if copy == "copy" else "")
            growth.setdefault(kind, (after - before) / len(big.old))
            print(f"  peak resident set added by one diff on {label}: {after - before:,} bytes, "
                  f"{(after - before) / len(big.old):.2%} of one input")
    return times["mmap"] / times["bytes"], growth["mmap"]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--quick", action="store_true", help="small inputs, one repeat (tests the script)")
    ap.add_argument("--part", type=int, choices=(1, 2, 3), action="append", help="run only these parts")
    args = ap.parse_args(argv)
    parts = set(args.part or (1, 2, 3))
    sizes = workloads.QUICK if args.quick else workloads.FULL
    repeats = 1 if args.quick else args.repeats
    big = workloads.big_workload(sizes, random.Random(workloads.SEED))
    if parts != {1, 2, 3}:
        for part, run in ((1, patch_cost), (2, None), (3, mmap_cost)):
            if part in parts:
                run(big, repeats) if run else diff_cost(workloads.version_pair_workloads(sizes), repeats)
        return 0
    patch_ratio = patch_cost(big, repeats)
    diff_ratios, worst = diff_cost(workloads.version_pair_workloads(sizes), repeats)
    mmap_ratio, mmap_growth = mmap_cost(big, repeats)
    print("goals: checked patch <= 1.15x: %.3fx; checked diff on real pairs <= 1.05x: %s (largest pair %.3fx); "
          "mmap diff within 5%% of bytes: %.3fx; resident set added < 10%% of one input: %.2f%%"
          % (patch_ratio, ", ".join(f"{m} {r:.3f}x" for m, r in diff_ratios.items()), worst, mmap_ratio,
             100 * mmap_growth))
    return 0


if __name__ == "__main__":
    sys.exit(main())
