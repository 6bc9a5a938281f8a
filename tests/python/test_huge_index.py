"""The index method past 2 GiB: 3 GiB values with 100 edits diff and patch.

It holds about 12 GiB at its peak (both values, the patched one and the
index), so it runs only when asked: TOVAREL_HUGE_TESTS=1."""

import gc
import os
import random

import pytest

from tovarel_core.delta import Differ, patch

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(os.environ.get("TOVAREL_HUGE_TESTS") != "1", reason="needs about 12 GiB; set TOVAREL_HUGE_TESTS=1"),
]

SIZE = 3 << 30
EDITS = 100
CHUNK = 1 << 26


def edited(old, rng):
    """old with EDITS insertions, deletions and replacements of up to 32
    bytes, spread over the whole value, joined without copying slices."""
    view = memoryview(old)
    cuts = sorted(rng.randrange(len(old) - 64) for _ in range(EDITS))
    parts, at = [], 0
    for cut in cuts:
        parts.append(view[at:cut])
        kind = rng.randrange(3)
        if kind == 0:
            parts.append(rng.randbytes(rng.randint(1, 32)))
            at = cut
        elif kind == 1:
            at = cut + rng.randint(1, 32)
        else:
            length = rng.randint(1, 32)
            parts.append(bytes(b ^ 0xFF for b in old[cut : cut + length]))
            at = cut + length
    parts.append(view[at:])
    new = b"".join(parts)
    view.release()
    return new


def test_three_gib_values_diff_and_patch_with_the_index_method():
    rng = random.Random(24)
    old = b"".join(rng.randbytes(CHUNK) for _ in range(SIZE // CHUNK))
    new = edited(old, rng)
    try:
        delta = bytes(Differ(method="index").diff(old, new))
        # The hundred edits, each a copy pair and a few literal bytes.
        assert len(delta) < EDITS * 64, len(delta)
        result = patch(old, delta)
        view = memoryview(result).cast("B")
        assert view.nbytes == len(new)
        for start in range(0, len(new), CHUNK):
            assert view[start : start + CHUNK] == new[start : start + CHUNK], start
        view.release()
    finally:
        del old, new
        gc.collect()
