"""delta.diff and delta.patch as Python sees them."""

import gc

import cbor2
import pytest
from hypothesis import given, settings, strategies as st

from tovarel_core.delta import PythonInBuf, PythonOutBuf, diff, patch

NO_CHANGE = b"\xf6"


def replacement(value):
    """The delta that carries the new value whole, by an independent encoder."""
    return cbor2.dumps(bytes(value))


def round_trip(old, new):
    delta = bytes(diff(old, new))
    return delta, bytes(patch(old, delta))


@pytest.mark.parametrize(
    "old, new, expected",
    [
        (b"abc", b"abc", NO_CHANGE),
        (b"a", b"a", b"\x41a"),
        (b"", b"", b"\x40"),
        (b"abc", b"", b"\x40"),
        (b"", b"xyz", b"\x43xyz"),
        (
            bytes(range(100)),
            bytes(range(50)) + b"\xff" + bytes(range(51, 100)),
            bytes([0x00, 0x18, 0x32, 0x41, 0xFF, 0x18, 0x33, 0x18, 0x31]),
        ),
        (bytes(range(100)), bytes(range(100, 200)), replacement(bytes(range(100, 200)))),
    ],
)
def test_diff_gives_the_documented_deltas(old, new, expected):
    assert bytes(diff(old, new)) == expected


@pytest.mark.parametrize(
    "old, delta, expected",
    [
        (b"abcdefgh", bytes([0x00, 0x03, 0x42, 0x58, 0x59, 0x05, 0x03]), b"abcXYfgh"),
        (b"anything", NO_CHANGE, b"anything"),
        (b"", NO_CHANGE, b""),
        (b"anything", b"\xf6\x41z\xf6", b"z"),  # null items inside a delta are skipped
        (b"anything", b"", b""),
        (b"anything", b"\x41z", b"z"),
        (b"old", b"\x62hi", b"hi"),
    ],
)
def test_patch_applies_deltas(old, delta, expected):
    assert bytes(patch(old, delta)) == expected


COPY_PAIR = "a copy pair is incomplete or reaches outside the old value"
CUT_SHORT = "an item is cut short"


@pytest.mark.parametrize(
    "delta, reason",
    [
        (b"\x00", COPY_PAIR),  # an offset without its length
        (b"\x00\x40", COPY_PAIR),  # an offset followed by a string
        (b"\x00\x02\x05\x1a", COPY_PAIR),  # a second pair cut inside its length
        (b"\x00\x04", COPY_PAIR),  # a copy reaching past the 3 old bytes
        (b"\x1b" + b"\xff" * 8 + b"\x01", COPY_PAIR),  # an offset far outside the old value
        (b"\x00\x02\x1a\x00", CUT_SHORT),  # an offset whose head is cut short
        (b"\x00\x02\x43ab", CUT_SHORT),  # a string with fewer bytes than declared
        (b"\x00\x02\x59\x01", CUT_SHORT),  # a string head cut short
        (b"\x00\x03junk", CUT_SHORT),  # text after the delta ("j" declares 10 bytes)
    ],
)
def test_malformed_delta_raises_value_error(delta, reason):
    with pytest.raises(ValueError, match="^patch received a malformed delta: " + reason + "$"):
        patch(b"abc", delta)


def test_every_cut_of_a_delta_inside_an_item_is_refused():
    old = b"the quick brown fox jumps over the lazy dog"
    new = b"the quick brown cat jumps over the lazy dog!"
    delta = bytes(diff(old, new))
    # Copy 16 bytes from 0, insert "cat", copy 24 bytes from 19, insert "!".
    assert delta == bytes.fromhex("0010 43636174 131818 4121")
    # A cut between two items cannot be seen (the format has no end mark);
    # every other cut must be.
    clean_cuts = {0: b"", 2: new[:16], 6: new[:19], 9: new[:43]}
    for cut in range(len(delta)):
        if cut in clean_cuts:
            assert bytes(patch(old, delta[:cut])) == clean_cuts[cut]
        else:
            with pytest.raises(ValueError, match="malformed delta"):
                patch(old, delta[:cut])


def test_no_change_delta_gives_the_old_value():
    old = b"unchanged value"
    result = diff(old, old)
    assert result == NO_CHANGE and NO_CHANGE == result
    assert bytes(patch(old, NO_CHANGE)) == old
    assert bytes(patch(PythonInBuf(old), PythonInBuf(NO_CHANGE))) == old


edits = st.lists(
    st.tuples(st.integers(0, 2000), st.integers(0, 40), st.binary(max_size=40)), max_size=6
)


def apply_edits(value, changes):
    for position, removed, inserted in changes:
        position = min(position, len(value))
        value = value[:position] + inserted + value[position + removed :]
    return value


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=2000), edits, st.binary(max_size=300))
def test_patch_of_diff_rebuilds_the_new_value(old, changes, unrelated):
    for new in (apply_edits(old, changes), unrelated):
        delta, rebuilt = round_trip(old, new)
        assert rebuilt == new
        assert (delta == NO_CHANGE) == (old == new and len(new) >= 2)
        # Never worse than shipping the new value whole, and anything but
        # that is strictly shorter than the new value itself.
        assert delta == NO_CHANGE or delta == replacement(new) or len(delta) < len(new)
        assert len(delta) <= len(replacement(new))


@pytest.mark.parametrize(
    "args",
    [
        (bytearray(b"a"), b"b"),
        (b"a", bytearray(b"b")),
        (memoryview(b"a"), b"b"),
        ("a", b"b"),
        (b"a", 1),
    ],
)
@pytest.mark.parametrize("function", [diff, patch])
def test_arguments_other_than_bytes_raise_type_error(function, args):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*args)


@pytest.mark.parametrize("args", [(None, b"x"), (b"x", None), (None, None)])
@pytest.mark.parametrize("function", [diff, patch])
def test_none_raises_an_empty_runtime_error(function, args):
    with pytest.raises(RuntimeError) as error:
        function(*args)
    assert str(error.value) == "" and type(error.value) is RuntimeError


def test_keyword_arguments():
    delta = bytes(diff(new_value=b"abcabcabc!", old_value=b"abcabcabc"))
    assert bytes(patch(diff=delta, old_value=b"abcabcabc")) == b"abcabcabc!"


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize(
    "old, new",
    [
        (PythonInBuf(b"hello world"), b"hello there"),
        (b"hello world", PythonInBuf(b"hello there")),
        (PythonInBuf(b"hello world"), PythonInBuf(b"hello there")),
        (BytesSubclass(b"hello world"), BytesSubclass(b"hello there")),
        (PythonInBuf(BytesSubclass(b"hello world")), b"hello there"),
    ],
)
def test_bytes_and_holders_mix(old, new):
    delta = bytes(diff(old, new))
    assert bytes(patch(old, delta)) == b"hello there"


def test_holder_is_reusable_and_keeps_its_bytes_alive():
    released = []

    class Tracked(bytes):
        def __del__(self):
            released.append(True)

    holder = PythonInBuf(Tracked(b"x" * 1000 + b"tail"))
    gc.collect()
    assert not released
    for new in (b"x" * 1000, b"x" * 1000 + b"tail!", b"y"):
        assert bytes(patch(holder, bytes(diff(holder, new)))) == new
    del holder
    gc.collect()
    assert released


@pytest.mark.parametrize("value", [bytearray(b"a"), memoryview(b"a"), "a", None, 1])
def test_holder_accepts_only_bytes(value):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        PythonInBuf(value)


def test_result_buffer_description():
    result = diff(b"", b"\xff\x01")
    view = memoryview(result)
    assert (view.format, view.itemsize, view.ndim, view.readonly) == ("b", 1, 1, False)
    assert view.shape == (3,) and view.strides == (1,)
    assert view.tolist() == [0x42, -1, 1]
    assert bytes(result) == b"\x42\xff\x01"


def test_result_is_writable_and_writes_are_seen_later():
    result = patch(b"", b"\x43abc")
    view = memoryview(result)
    view[0] = ord("z")
    view.release()
    assert bytes(result) == b"zbc"
    assert bytes(memoryview(result)) == b"zbc"


def test_view_keeps_the_result_alive():
    view = memoryview(diff(b"", b"abcdef"))
    gc.collect()
    assert bytes(view) == b"\x46abcdef"


def test_empty_result_exports_an_empty_buffer():
    result = patch(b"abc", b"")
    assert bytes(result) == b"" and len(memoryview(result)) == 0


def test_out_buf_has_no_constructor():
    with pytest.raises(TypeError) as error:
        PythonOutBuf()
    assert str(error.value) == "tovarel_core.delta.PythonOutBuf: No constructor defined!"


def test_objects_made_without_init_are_refused():
    # __new__ alone leaves the native object unconstructed: it must never be
    # read as if it held a value.
    with pytest.raises(BufferError):
        memoryview(PythonOutBuf.__new__(PythonOutBuf))
    with pytest.raises(TypeError, match="not initialised"):
        diff(PythonInBuf.__new__(PythonInBuf), b"abc")


@pytest.mark.slow
def test_values_beyond_the_supported_size_raise_value_error():
    huge = bytes(2**31)
    try:
        with pytest.raises(ValueError, match="2147483647 bytes"):
            diff(b"", huge)
        with pytest.raises(ValueError, match="2147483647 bytes"):
            diff(huge, b"")
    finally:
        del huge


@pytest.mark.parametrize(
    "result, content",
    [
        (patch(b"", b"\x40"), b""),
        (diff(b"abc", b"abc"), NO_CHANGE),
        (diff(b"", bytes(range(40))), b"\x58\x28" + bytes(range(40))),
    ],
)
def test_result_has_a_length_equality_and_repr(result, content):
    assert len(result) == len(content)
    for other in (content, bytearray(content), BytesSubclass(content), patch(b"", replacement(content))):
        assert result == other and other == result and not result != other
    for other in (content + b"\x00", content[:-1], b"\xff" * len(content), "", None, 0, [content]):
        if other != content:
            assert result != other and other != result
    shown = repr(content[:16])
    assert repr(result) == f"<PythonOutBuf of {len(content)} bytes: {shown}{'...' if len(content) > 16 else ''}>"
    with pytest.raises(TypeError, match="unhashable"):
        hash(result)


def test_result_equality_follows_writes():
    result = patch(b"", b"\x43abc")
    memoryview(result)[0] = ord("z")
    assert result == b"zbc" and result != b"abc"
    with pytest.raises(TypeError, match="holds no result"):
        len(PythonOutBuf.__new__(PythonOutBuf))
