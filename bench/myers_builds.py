"""Two builds of the Myers engine side by side: the same deltas, and their speed.

    python bench/myers_builds.py --baseline SO [--build SO] [--pairs N] [--seed S]
    python bench/myers_builds.py --baseline SO [--build SO] --time [--quick] [--repeats N] [--only TEXT]

Both builds' core entry points are called through ctypes, from the installed
module's shared object (it exports every core function) and from the
baseline's, so no second Python module is imported and the two run
alternately in one process.

The check generates pairs (unrelated, edited, over small alphabets, text-like,
made of repeated or reordered blocks), gives each a random level, step budget
and storage allowance, forces every search path the processor runs in both
builds, and requires every delta to be byte for byte the baseline's on its
automatic path.  The timing runs the default driver (what delta.diff runs) on
the benchmark's delta workloads, baseline and build alternated, and reports
the build's median time over the baseline's for each, with their geometric
mean.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import random
import statistics
import sys
import time

INT32_MAX = 2**31 - 1
LEVELS = range(5)
# Budgets below zero, of zero and of one make every search bail out at once;
# the middle ones cut searches short at every depth; the last is the default.
BUDGETS = (-1, 0, 1, 2, 5, 16, 64, 255, 1000, 10000)
# Small allowances stop searches on the storage's limit instead of the budget.
ALLOWANCES = (INT32_MAX, INT32_MAX, INT32_MAX, 3, 16, 64, 300, 5000, 100000)
PLAIN, PATHS = 0, 6
AUTO = -1


class Buf(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("len", ctypes.c_uint64), ("capacity", ctypes.c_uint64)]


class Engine:
    """The Myers driver of one build, with its search-path hook."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.buf_free.argtypes = [ctypes.POINTER(Buf)]
        for name in ("diff_generate_binary", "diff_generate_binary_at_level"):
            getattr(self.lib, name).restype = ctypes.POINTER(Buf)
        self.lib.diff_generate_binary_at_level.argtypes = [
            ctypes.POINTER(Buf), ctypes.POINTER(Buf), ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]
        self.lib._execution_search_force_path.restype = ctypes.c_bool
        self.lib._execution_search_force_path.argtypes = [ctypes.c_int32]
        self.lib.execution_search_path_supported.restype = ctypes.c_bool
        self.lib.execution_search_path_supported.argtypes = [ctypes.c_int32]

    def paths(self):
        return [p for p in range(PLAIN, PATHS) if self.lib.execution_search_path_supported(p)]

    def force(self, path):
        if not self.lib._execution_search_force_path(path):
            raise RuntimeError(f"path {path} refused")

    @staticmethod
    def views(old, new):
        return [Buf(ctypes.cast(ctypes.c_char_p(v), ctypes.c_void_p), len(v), len(v)) for v in (old, new)]

    def take(self, result):
        if not result:
            return None
        try:
            return ctypes.string_at(result.contents.data, result.contents.len)
        finally:
            self.lib.buf_free(result)

    def diff(self, old, new):
        views = self.views(old, new)
        return self.take(self.lib.diff_generate_binary(ctypes.byref(views[0]), ctypes.byref(views[1])))

    def diff_at(self, old, new, allowance, budget, level):
        views = self.views(old, new)
        return self.take(self.lib.diff_generate_binary_at_level(
            ctypes.byref(views[0]), ctypes.byref(views[1]), allowance, budget, level))


# --------------------------------------------------------------------- pairs

WORDS = b"the of and to in is for on that with as by at from this be are or it an".split()


def noise(rng, n, alphabet):
    return rng.randbytes(n).translate(bytes(i % alphabet for i in range(256)))


def text(rng, n):
    out = bytearray()
    while len(out) < n:
        out += rng.choice(WORDS) + (b"\n" if rng.random() < 0.1 else b" ")
    return bytes(out[:n])


def blocks(rng, n, alphabet):
    block = noise(rng, 1 + rng.randrange(64), alphabet)
    return (block * (n // len(block) + 1))[:n]


def edited(rng, value, alphabet, edits):
    out = bytearray(value)
    for _ in range(edits):
        at = rng.randrange(len(out) + 1)
        cut = min(rng.randrange(1 + max(1, len(out) // 16)), len(out) - at)
        run = noise(rng, rng.randrange(1 + max(1, len(value) // 16)), alphabet)
        kind = rng.randrange(3)
        if kind == 0:
            del out[at:at + cut]
        elif kind == 1:
            out[at:at] = run
        else:
            out[at:at + cut] = run
    return bytes(out)


def reordered(rng, value):
    if len(value) < 4:
        return value
    cuts = sorted(rng.sample(range(1, len(value)), min(len(value) - 1, 1 + rng.randrange(6))))
    parts = [value[a:b] for a, b in zip([0] + cuts, cuts + [len(value)])]
    rng.shuffle(parts)
    return b"".join(parts)


def make_pair(rng):
    """One old and new value; mostly short, some long enough for wide passes."""
    size = rng.choice((0, 1, 3, 8, 40, 200, 700, 2000, 2000, 9000, 9000)) if rng.random() < 0.98 else 60000
    n = rng.randrange(size + 1)
    alphabet = rng.choice((2, 4, 26, 256))
    kind = rng.randrange(4)
    old = text(rng, n) if kind == 0 else blocks(rng, n, alphabet) if kind == 1 else noise(rng, n, alphabet)
    shape = rng.randrange(4)
    if shape == 0:
        new = noise(rng, rng.randrange(size + 1), alphabet)
    elif shape == 1:
        new = reordered(rng, old)
    else:
        new = edited(rng, old, alphabet, 1 + rng.randrange(3 + n // 64))
    return (old, new) if rng.random() < 0.5 else (new, old)


def check(base, new, pairs, seed):
    rng = random.Random(seed)
    paths = [p for p in base.paths() if p in new.paths()]
    compared = 0
    try:
        for i in range(pairs):
            old_value, new_value = make_pair(rng)
            allowance = rng.choice(ALLOWANCES)
            budget = rng.choice(BUDGETS)
            level = rng.choice(LEVELS)
            base.force(AUTO)
            want = base.diff_at(old_value, new_value, allowance, budget, level)
            want_default = base.diff(old_value, new_value)
            for path in paths:
                for engine, name in ((base, "baseline"), (new, "build")):
                    engine.force(path)
                    got = engine.diff_at(old_value, new_value, allowance, budget, level)
                    got_default = engine.diff(old_value, new_value)
                    compared += 2
                    if got != want or got_default != want_default:
                        print(f"pair {i} (seed {seed}): {name} path {path} differs at level {level}, "
                              f"budget {budget}, allowance {allowance}, lengths {len(old_value)}/{len(new_value)}")
                        return False
    finally:
        base.force(AUTO)
        new.force(AUTO)
    print(f"{pairs} pairs, paths {paths}: {compared} deltas, every one the baseline's")
    return True


# -------------------------------------------------------------------- timing


def sample(fn, loops):
    start = time.perf_counter()
    for _ in range(loops):
        fn()
    return (time.perf_counter() - start) / loops


def timing(base, new, quick, repeats, only):
    sys.path.insert(0, __file__.rsplit("/", 1)[0])
    import workloads

    wls = workloads.delta_workloads(workloads.QUICK if quick else workloads.FULL)
    wls = [wl for wl in wls if not only or any(o.lower() in wl.name.lower() for o in only)]
    ratios = []
    print(f"{'workload':<52} {'baseline':>10} {'build':>10} {'ratio':>7}")
    for wl in wls:
        if new.diff(wl.old, wl.new) != base.diff(wl.old, wl.new):
            print(f"{wl.name}: the deltas differ")
            return False
        first = sample(lambda: base.diff(wl.old, wl.new), 1)
        loops = max(1, min(1000, int(0.2 / max(first, 1e-7))))
        times = {"base": [], "new": []}
        gc.disable()
        try:
            for r in range(repeats):
                order = (("base", base), ("new", new)) if r % 2 == 0 else (("new", new), ("base", base))
                for key, engine in order:
                    times[key].append(sample(lambda e=engine: e.diff(wl.old, wl.new), loops))
        finally:
            gc.enable()
        b, n = statistics.median(times["base"]), statistics.median(times["new"])
        ratios.append(n / b)
        print(f"{wl.name[:52]:<52} {b * 1e3:>8.2f}ms {n * 1e3:>8.2f}ms {n / b:>7.3f}")
    print(f"geometric mean of build / baseline over {len(ratios)} workloads: "
          f"{statistics.geometric_mean(ratios):.3f}")
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--baseline", required=True, metavar="SO", help="the other build's shared object")
    ap.add_argument("--build", default=None, metavar="SO", help="this build (default: the installed module)")
    ap.add_argument("--pairs", type=int, default=3000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--time", action="store_true", help="time the delta workloads instead of checking")
    ap.add_argument("--quick", action="store_true", help="the quick workload sizes")
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--only", action="append", default=[], metavar="TEXT",
                    help="time only workloads whose name contains TEXT (repeatable)")
    args = ap.parse_args()
    if args.build is None:
        import tovarel_core

        args.build = tovarel_core.__file__
    base, new = Engine(args.baseline), Engine(args.build)
    ok = timing(base, new, args.quick, args.repeats, args.only) if args.time else check(base, new, args.pairs, args.seed)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
