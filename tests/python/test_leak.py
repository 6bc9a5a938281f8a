"""A leak check: a fresh interpreter runs 200,000 mixed diff, patch and dumps
calls, failing ones included, and its resident memory must stop growing
once the allocators have warmed up.  A leak of even one small block per
call would add megabytes over the last two thirds of the run."""

import subprocess
import sys
import textwrap

CALLS = 200_000
# Growth allowed between the end of the warm-up third and the end of the
# run.  Leaking one 64-byte record per call would exceed it several times.
TOLERANCE_BYTES = 2 * 1024 * 1024

SCRIPT = textwrap.dedent(
    """
    import os
    import sys

    from tovarel_core import cbor
    from tovarel_core.delta import PythonInBuf, diff, patch

    PAGE = os.sysconf("SC_PAGE_SIZE")

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * PAGE

    # Values that keep every call cheap: a few edits in 2 KiB, and a short
    # pair with no byte in common (the replacement delta).
    old = bytes(range(256)) * 8
    new = old[:700] + b"inserted" + old[720:1500] + bytes(3) + old[1500:]
    short_old = PythonInBuf(bytes(range(64)))
    unrelated = bytes(range(64, 128))
    document = {"name": "value", "list": [1, -2, 3.5, None, True, b"raw"], "n": 2**63}
    too_deep = [[[[1]]]]

    def step(i):
        kind = i % 8
        if kind == 0:
            delta = diff(old, new)
            assert bytes(patch(old, bytes(delta))) == new
        elif kind == 1:
            bytes(diff(short_old, unrelated))  # the replacement delta
        elif kind == 2:
            bytes(diff(old, old))  # the no-change delta
        elif kind == 3:
            try:
                patch(old, b"\\x00\\x19\\x10\\x00")  # a copy past the end
            except ValueError:
                pass
        elif kind == 4:
            cbor.dumps(document, indefinite=bool(i & 8))
        elif kind == 5:
            try:
                cbor.dumps([1, 2**64])
            except RuntimeError:
                pass
        elif kind == 6:
            try:
                cbor.dumps(too_deep, max_depth=2)
            except RuntimeError:
                pass
        else:
            view = memoryview(patch(old, b"\\x00\\x19\\x01\\x00\\x43abc"))
            assert view.nbytes == 259
            view.release()

    calls = int(sys.argv[1])
    warm_up = calls // 3
    for i in range(warm_up):
        step(i)
    after_warm_up = resident()
    for i in range(warm_up, calls):
        step(i)
    print(after_warm_up, resident())
    """
)


def test_resident_memory_stops_growing():
    run = subprocess.run(
        [sys.executable, "-c", SCRIPT, str(CALLS)], capture_output=True, text=True, timeout=600
    )
    assert run.returncode == 0, run.stderr[-2000:]
    after_warm_up, at_end = map(int, run.stdout.split())
    growth = at_end - after_warm_up
    assert growth <= TOLERANCE_BYTES, (
        f"resident memory grew by {growth} bytes over {CALLS * 2 // 3} calls "
        f"(from {after_warm_up} to {at_end})"
    )
