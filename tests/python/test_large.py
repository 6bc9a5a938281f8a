"""Values at the edge of the supported size: 2147483647 bytes diff and patch,
2147483648 bytes are refused by diff.  Each test holds a few GiB at its
peak; the values are built with join over memoryviews so that no slice is
copied on the way."""

import gc

import pytest

from tovarel_core.delta import diff, patch

pytestmark = pytest.mark.slow

LARGEST = 2**31 - 1
CHUNK = 1 << 26  # compared 64 MiB at a time, so no second full copy is made


def same_content(result, expected):
    view = memoryview(result).cast("B")
    try:
        if view.nbytes != len(expected):
            return False
        for start in range(0, len(expected), CHUNK):
            if view[start : start + CHUNK] != expected[start : start + CHUNK]:
                return False
        return True
    finally:
        view.release()


def test_largest_value_diffs_and_patches():
    old = bytes(LARGEST)
    whole = memoryview(old)
    changed_at = LARGEST - 100
    new = b"".join([whole[:changed_at], b"\x01", whole[changed_at + 1 :]])
    whole.release()
    try:
        delta = bytes(diff(old, new))
        # A copy of everything before the change, the changed byte, and a
        # copy of everything after it: a handful of bytes, not a replacement.
        assert len(delta) < 32, delta.hex()
        assert b"\x41\x01" in delta
        result = patch(old, delta)
        assert same_content(result, new)
        del result
        assert bytes(diff(old, old)) == b"\xf6"
    finally:
        del old, new
        gc.collect()


def test_one_byte_more_is_refused_by_diff_but_still_patched():
    too_large = bytes(LARGEST + 1)
    try:
        for old, new in [(b"", too_large), (too_large, b"x"), (too_large, too_large)]:
            with pytest.raises(ValueError):
                diff(old, new)
        # Applying a delta has no such limit on the old value: a copy pair
        # may end at 2^31, past any signed 32-bit position, but not beyond.
        last_byte = b"\x1a\x7f\xff\xff\xff\x01"
        last_two = b"\x1a\x7f\xff\xff\xfe\x02"
        assert bytes(patch(too_large, last_byte + last_two + b"\x41z")) == b"\x00\x00\x00z"
        for beyond in [b"\x1a\x7f\xff\xff\xff\x02", b"\x1a\x80\x00\x00\x00\x01"]:
            with pytest.raises(ValueError):
                patch(too_large, beyond)
    finally:
        del too_large
        gc.collect()
