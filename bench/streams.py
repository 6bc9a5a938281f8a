"""Reading CBOR from a file against decoding the same bytes in memory.

    python bench/streams.py [--size BYTES] [--path FILE]

bench/run.py calls run() for its report's "Files and streams" section.

Writes (once) a file of CBOR records of 50 bytes to 50 KiB, log-uniformly
spread, then times cbor.iter_load over the file against cbor.loads_sequence
over its bytes read into memory, alternately, best of three each; and, in a
fresh interpreter of its own, the peak resident set that iter_load adds to
the interpreter's, read from the kernel's high-water mark of the process's
own memory (VmHWM: getrusage's maximum would carry this process's peak
over into the child).
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import time

from tovarel_core import cbor

SEED = 20261209
SMALLEST, LARGEST = 50, 50 << 10
DEFAULT_PATH = "/tmp/tovarel_records.cbor"


def write_records(path: str, size: int) -> None:
    rng = random.Random(SEED)
    encoder = cbor.Encoder()
    with open(path, "wb") as out:
        written = 0
        while written < size:
            n = int(SMALLEST * (LARGEST / SMALLEST) ** rng.random())
            record = {"id": rng.randrange(1 << 40), "name": "x" * (n // 4),
                      "values": list(range(n // 16)), "blob": rng.randbytes(n // 4)}
            data = encoder.encode(record)
            out.write(data)
            written += len(data)


def high_water_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def time_iter_load(path: str) -> float:
    start = time.perf_counter()
    with open(path, "rb") as source:
        for _ in cbor.iter_load(source):
            pass
    return time.perf_counter() - start


def time_in_memory(path: str) -> float:
    with open(path, "rb") as source:
        data = source.read()
    start = time.perf_counter()
    cbor.loads_sequence(data)
    return time.perf_counter() - start


def rss_added_mib(path: str) -> str:
    """Peak resident set that iter_load adds, measured in a fresh interpreter."""
    return subprocess.run([sys.executable, __file__, "--rss-only", "--path", path],
                          capture_output=True, text=True, check=True).stdout.strip()


def run(size: int, path: str, repeats: int = 3) -> list[str]:
    """Times iter_load against loads_sequence, alternately; returns report lines."""
    if not os.path.exists(path) or os.path.getsize(path) < size:
        write_records(path, size)
    streamed, in_memory = [], []
    for _ in range(repeats):
        streamed.append(time_iter_load(path))
        in_memory.append(time_in_memory(path))
    total = os.path.getsize(path)
    return [
        f"{total / (1 << 20):.0f} MiB of records of {SMALLEST} bytes to {LARGEST >> 10} KiB, best of {repeats}:",
        "",
        "| reader | MB/s | speed against loads_sequence in memory |",
        "| --- | --- | --- |",
        f"| cbor.iter_load(file) | {total / min(streamed) / 1e6:.0f} | {min(in_memory) / min(streamed):.2f}x |",
        f"| cbor.loads_sequence(bytes) | {total / min(in_memory) / 1e6:.0f} | 1.00x |",
        "",
        f"Peak resident set added by iter_load: {rss_added_mib(path)} MiB.",
    ]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=1 << 30)
    ap.add_argument("--path", default=DEFAULT_PATH)
    ap.add_argument("--rss-only", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rss_only:
        before = high_water_kib()
        time_iter_load(args.path)
        grown = high_water_kib() - before
        print(f"{grown / 1024:.1f}")
        return
    print("\n".join(run(args.size, args.path)))


if __name__ == "__main__":
    main()
