"""What checking deterministic form costs a decode.

    python bench/deterministic_decode.py [--quick] [--repeats N] [--only TEXT]

For every CBOR workload of bench/run.py, encodes the value once with
Encoder(deterministic=m) for each order m, checks that loads(data,
deterministic=m) gives what loads(data) gives, then times loads(data) and
loads(data, deterministic=m) on the same bytes, interleaved (bench/timing.py),
and prints the checked decode's throughput as a ratio of the plain one's.
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import timing  # noqa: E402
import workloads  # noqa: E402
from tools import DECODE_MAX_DEPTH  # noqa: E402
from tovarel_core import cbor  # noqa: E402

MODES = ("core", "length_first")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny workloads, one repeat")
    parser.add_argument("--repeats", type=int, default=None, help="interleaved repeats (default 5)")
    parser.add_argument("--only", action="append", default=[], help="workloads whose name contains TEXT")
    args = parser.parse_args()
    sizes = workloads.QUICK if args.quick else workloads.FULL
    repeats = args.repeats or (1 if args.quick else 5)
    print("| workload | plain loads (ms) | " + " | ".join(f"{m}: checked/plain throughput" for m in MODES) + " |")
    print("|---|---:|" + "---:|" * len(MODES))
    for wl in workloads.cbor_workloads(sizes):
        if args.only and not any(text in wl.name for text in args.only):
            continue
        cases = []
        for mode in MODES:
            data = cbor.Encoder(default=wl.hook, deterministic=mode).encode(wl.value)
            plain = cbor.loads(data, max_depth=DECODE_MAX_DEPTH)
            checked = cbor.loads(data, max_depth=DECODE_MAX_DEPTH, deterministic=mode)
            assert checked == plain, wl.name
            cases.append(timing.Case(f"plain {mode}", lambda _d=data: cbor.loads(_d, max_depth=DECODE_MAX_DEPTH)))
            cases.append(
                timing.Case(mode, lambda _d=data, _m=mode: cbor.loads(_d, max_depth=DECODE_MAX_DEPTH, deterministic=_m))
            )
        timed = timing.measure(cases, repeats)
        ratios = [timed[f"plain {m}"].median / timed[m].median for m in MODES]
        print(f"| {wl.name} | {timed['plain core'].median * 1e3:.2f} | " + " | ".join(f"{r:.2f}x" for r in ratios) + " |")


if __name__ == "__main__":
    main()
