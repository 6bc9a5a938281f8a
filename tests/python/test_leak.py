"""A leak check: a fresh interpreter repeats each kind of diff, patch and
dumps call, failing ones included, and each kind must leave the C heap, the
interpreter's object blocks and the resident memory where its warm-up left
them.  Each kind is measured on its own, so one kind's small leak is not
lost in the allowance of all the others; a control kind that leaks 64 bytes
per call proves the check can see that much."""

import json
import subprocess
import sys
import textwrap

import pytest

WARM_UP = 4_000
CALLS = 20_000
# Growth allowed per kind over CALLS calls.  Leaking 64 bytes per call adds
# 1.3 MB to the heap and 20,000 blocks, far beyond these.
HEAP_TOLERANCE = 128 * 1024
BLOCK_TOLERANCE = 500
RSS_TOLERANCE = 2 * 1024 * 1024

KINDS = ("diff and patch", "replacement", "no change", "bad patch", "dumps", "int out of range", "too deep", "patch view")

SCRIPT = textwrap.dedent(
    """
    import ctypes
    import json
    import os
    import sys

    from tovarel_core import cbor
    from tovarel_core.delta import PythonInBuf, diff, patch

    PAGE = os.sysconf("SC_PAGE_SIZE")
    libc = ctypes.CDLL(None)

    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

    try:
        libc.mallinfo2.restype = MallInfo2
    except AttributeError:  # not glibc 2.33+: the heap figure is left out
        libc.mallinfo2 = None

    def heap():
        if libc.mallinfo2 is None:
            return 0
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd  # bytes in use, small and mapped

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
    libc.malloc.restype = ctypes.c_void_p

    def diff_and_patch(i):
        delta = diff(old, new)
        assert bytes(patch(old, bytes(delta))) == new

    def bad_patch(i):
        try:
            patch(old, b"\\x00\\x19\\x10\\x00")  # a copy past the end
        except ValueError:
            pass

    def refused(value, **options):
        try:
            cbor.dumps(value, **options)
        except RuntimeError:
            pass

    def patch_view(i):
        view = memoryview(patch(old, b"\\x00\\x19\\x01\\x00\\x43abc"))
        assert view.nbytes == 259
        view.release()

    kinds = {
        "diff and patch": diff_and_patch,
        "replacement": lambda i: bytes(diff(short_old, unrelated)),
        "no change": lambda i: bytes(diff(old, old)),
        "bad patch": bad_patch,
        "dumps": lambda i: cbor.dumps(document, indefinite=bool(i & 1)),
        "int out of range": lambda i: refused([1, 2**64]),
        "too deep": lambda i: refused(too_deep, max_depth=2),
        "patch view": patch_view,
        "control: 64-byte leak": lambda i: libc.malloc(64),
    }

    warm_up, calls = map(int, sys.argv[1:3])
    growth = {}
    for name, step in kinds.items():
        for i in range(warm_up):
            step(i)
        before = heap(), sys.getallocatedblocks(), resident()
        for i in range(calls):
            step(i)
        after = heap(), sys.getallocatedblocks(), resident()
        growth[name] = [a - b for a, b in zip(after, before)]
    print(json.dumps({"heap measured": libc.mallinfo2 is not None, "growth": growth}))
    """
)


@pytest.fixture(scope="module")
def growth():
    run = subprocess.run(
        [sys.executable, "-c", SCRIPT, str(WARM_UP), str(CALLS)], capture_output=True, text=True, timeout=600
    )
    assert run.returncode == 0, run.stderr[-2000:]
    return json.loads(run.stdout)


@pytest.mark.parametrize("kind", KINDS)
def test_each_kind_of_call_leaves_memory_where_it_was(growth, kind):
    heap, blocks, rss = growth["growth"][kind]
    assert heap <= HEAP_TOLERANCE, f"{kind}: the C heap grew by {heap} bytes over {CALLS} calls"
    assert blocks <= BLOCK_TOLERANCE, f"{kind}: {blocks} more object blocks after {CALLS} calls"
    assert rss <= RSS_TOLERANCE, f"{kind}: resident memory grew by {rss} bytes over {CALLS} calls"


def test_the_check_sees_a_64_byte_leak(growth):
    if not growth["heap measured"]:
        pytest.skip("this C library does not report its heap")
    heap, _, _ = growth["growth"]["control: 64-byte leak"]
    assert heap > HEAP_TOLERANCE * 4
