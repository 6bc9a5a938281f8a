"""Checked deltas, delta.inspect, the inputs Differ takes, results that act
like bytes, and everything that travels between processes by pickle."""

import array
import copy
import mmap
import pickle
import random
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from test_differ import spins_during
from test_hostile import reference_patch
from tovarel_core import delta
from tovarel_core.delta import DeltaInfo, Differ, PythonInBuf, PythonOutBuf

METHODS = ["myers", "index", "compact"]
WRONG_OLD = "^patch received a delta for another old value: "
HEAD = 6  # the check's tag and array heads, before its four integers


def make(method, **settings):
    """A Differ of one of METHODS: "compact" is the index method's compact form."""
    if method == "compact":
        return Differ(method="index", compact=True, **settings)
    return Differ(method=method, **settings)


def versions(seed, size=3000):
    """An old value and an edited copy: text with changed, added and removed runs."""
    rng = random.Random(seed)
    words = [b"def ", b"return ", b"self", b", ", b"\n    ", b"None", b"x", b"(", b")"]
    old = b"".join(rng.choice(words) for _ in range(size // 4))
    new = bytearray(old)
    for _ in range(rng.randrange(1, 6)):
        at = rng.randrange(len(new) + 1)
        new[at : at + rng.randrange(30)] = rng.randbytes(rng.randrange(30))
    return old, bytes(new)


@pytest.mark.parametrize("method", METHODS)
def test_checked_deltas_patch_and_read_plainly(method):
    checker = make(method, checked=True)
    for seed in range(30):
        old, new = versions(seed, size=[0, 1, 40, 3000][seed % 4])
        for new_value in (new, old, b"", b"z"):
            checked = bytes(checker.diff(old, new_value))
            plain = bytes(make(method).diff(old, new_value))
            assert checked.endswith(plain)
            assert bytes(delta.patch(old, checked)) == new_value
            assert bytes(checker.patch(old, checked)) == new_value
            info = delta.inspect(checked)
            body = delta.inspect(plain)
            assert info == DeltaInfo("checked", len(old), len(new_value), *body[3:])
            assert body.form == body.body and body.old_size is None
            if body.form == "compact":
                # A compact body declares its length; the plain rules refuse it.
                assert body.new_size == len(new_value) == body.copied_bytes + body.inserted_bytes
                assert reference_patch(old, checked) is None
                continue
            assert body.new_size is None
            # The plain rules skip the check; the no-change delta, which
            # stands for the old value, is the one delta they read as empty.
            assert reference_patch(old, checked) == (b"" if body.form == "no-change" else new_value)


@pytest.mark.parametrize("method", METHODS)
def test_checked_deltas_refuse_every_other_old_value(method):
    checker = make(method, checked=True)
    old, new = versions(7, size=60)
    checked = checker.diff(old, new)
    others = [old[:i] + bytes([old[i] ^ flip]) + old[i + 1 :] for i in range(len(old)) for flip in (1, 0x80)]
    others += [old[:-1], old + b"\n", b"", versions(8, size=60)[0], new]
    for other in others:
        for apply in (delta.patch, checker.patch):
            with pytest.raises(ValueError, match=WRONG_OLD):
                apply(other, checked)
    sizes = f"the delta is for a value of {len(old)} bytes and this one has {len(old) - 1}$"
    with pytest.raises(ValueError, match=WRONG_OLD + sizes):
        delta.patch(old[:-1], checked)
    with pytest.raises(ValueError, match=WRONG_OLD + "its CRC-64 differs from the one the delta names$"):
        delta.patch(others[0], checked)


corruptions = st.lists(
    st.tuples(st.sampled_from(["flip", "set", "insert", "delete", "cut"]), st.integers(0, 10**6), st.integers(0, 255)),
    min_size=1,
    max_size=3,
)


def corrupt(data, changes):
    data = bytearray(data)
    for kind, where, value in changes:
        at = where % (len(data) + 1)
        if kind == "insert":
            data[at:at] = bytes([value])
        elif kind == "cut":
            del data[at:]
        elif at < len(data):
            if kind == "delete":
                del data[at]
            else:
                data[at] = data[at] ^ (value or 1) if kind == "flip" else value
    return bytes(data)


@settings(max_examples=400, deadline=None)
@given(st.integers(0, 50), st.sampled_from(METHODS), corruptions)
def test_a_damaged_checked_delta_gives_an_error_or_the_new_value(seed, method, changes):
    old, new = versions(seed, size=400)
    checker = make(method, checked=True)
    checked = bytes(checker.diff(old, new))
    damaged = corrupt(checked, changes)
    try:
        assert bytes(checker.patch(old, damaged)) == new
    except ValueError:
        pass
    # delta.patch also takes plain deltas, so it can only vouch for deltas
    # whose check still begins with its tag.
    if damaged[:HEAD] == checked[:HEAD]:
        try:
            assert bytes(delta.patch(old, damaged)) == new
        except ValueError:
            pass


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"", DeltaInfo("plain", None, None, 0, 0, 0, "plain")),
        (b"\xf6", DeltaInfo("no-change", None, None, 0, 0, 0, "no-change")),
        (b"\x43abc", DeltaInfo("replacement", None, None, 0, 0, 3, "replacement")),
        (b"\x00\x03\x42XY\x1b" + b"\x00" * 7 + b"\x05\x03", DeltaInfo("plain", None, None, 2, 6, 2, "plain")),
        (b"\x9f\x41a\x62bc\xff\xf6", DeltaInfo("plain", None, None, 0, 0, 3, "plain")),
    ],
)
def test_inspect_reads_without_the_old_value(data, expected):
    assert delta.inspect(data) == expected
    assert delta.inspect(memoryview(data)) == delta.inspect(PythonInBuf(data)) == expected


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\x00", "^inspect received a malformed delta: a copy pair is incomplete"),
        (b"\x00\x02\x43ab", "^inspect received a malformed delta: an item is cut short$"),
        (b"\xda\x74\x76\x63\x6b\x83\x20\x20\x20", "^inspect received a malformed delta: its check is damaged"),
        # A check for a 1-byte old value and a 2-byte new one over items that
        # copy past the old value, or build 3 bytes.
        (b"\xda\x74\x76\x63\x6b\x84\x21\x20\x22\x20\x00\x02", "copy pair is incomplete or reaches outside"),
        (b"\xda\x74\x76\x63\x6b\x84\x21\x20\x22\x20\x43abc", "do not match its check: they build 3 bytes where the check says 2$"),
    ],
)
def test_inspect_refuses_what_patch_refuses(data, message):
    with pytest.raises(ValueError, match=message):
        delta.inspect(data)
    with pytest.raises(ValueError):
        delta.patch(b"a", data)


def buffers(value):
    """The same bytes as every kind of input Differ takes."""
    numpy = pytest.importorskip("numpy")
    out = [value, bytearray(value), memoryview(value), PythonInBuf(value), delta.patch(b"", b"\x5a" + len(value).to_bytes(4, "big") + value)]
    out += [array.array("B", value), numpy.frombuffer(value, numpy.uint8), numpy.frombuffer(value, numpy.int8)]
    out.append(memoryview(bytearray(value)).cast("c"))
    return out


def mapped_copies(tmp_path, *values):
    maps = []
    for i, value in enumerate(values):
        (tmp_path / str(i)).write_bytes(value)
        with open(tmp_path / str(i), "rb") as file:
            maps.append(mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ))
    return maps


def test_differ_and_inspect_take_every_buffer_of_bytes(tmp_path):
    old, new = versions(3)
    checker = Differ(checked=True)
    want = bytes(checker.diff(old, new))
    maps = mapped_copies(tmp_path, old, new, want)
    olds, news, deltas = buffers(old) + maps[:1], buffers(new) + maps[1:2], buffers(want) + maps[2:]
    for old_input, new_input, delta_input in zip(olds, news[1:] + news[:1], deltas[2:] + deltas[:2]):
        assert checker.diff(old_input, new_input) == want
        assert checker.patch(old_input, delta_input) == new
        assert delta.inspect(delta_input) == delta.inspect(want)
    # delta.diff and delta.patch keep to bytes and holders, and take results.
    assert delta.patch(old, delta.patch(b"", b"\x58" + bytes([len(want)]) + want)) == new
    for value in maps:
        value.close()


@pytest.mark.parametrize(
    "value, message",
    [
        ("text", "must be a buffer of bytes .* not str$"),
        (None, "must be a buffer of bytes .* not NoneType$"),
        ([1, 2], "must be a buffer of bytes .* not list$"),
        (memoryview(b"abcdef")[::2], "must be C-contiguous; the memoryview given is not$"),
        (array.array("i", [1, 2]), "must hold bytes; the array.array given holds items of format 'i' \\(4 bytes each\\)$"),
        (memoryview(b"abcd").cast("H"), "must hold bytes; .* format 'H' \\(2 bytes each\\)$"),
        (memoryview(bytes(4)).cast("?"), "must hold bytes; .* format '\\?' \\(1 byte each\\)$"),
    ],
)
def test_what_is_not_a_buffer_of_bytes_is_refused_by_name(value, message):
    checker = Differ(checked=True)
    with pytest.raises(TypeError, match="^Differ.diff\\(\\) argument 'new_value' " + message):
        checker.diff(b"", value)
    with pytest.raises(TypeError, match="^Differ.patch\\(\\) argument 'old_value' " + message):
        checker.patch(value, b"")
    with pytest.raises(TypeError, match="^inspect\\(\\) argument 'delta' " + message):
        delta.inspect(value)
    if value is not None:  # which delta.patch refuses with an empty RuntimeError
        with pytest.raises(TypeError, match="incompatible function arguments"):
            delta.patch(value, b"")


def test_the_export_is_held_while_the_lock_is_released():
    rng = random.Random(5)
    old = bytearray(rng.randbytes(1 << 18))
    blocks = [bytes(old[i : i + 4096]) for i in range(0, len(old), 4096)]
    rng.shuffle(blocks)
    new = b"".join(blocks)
    refused = []
    done = threading.Event()

    def resize_until_done():
        while not done.is_set():
            try:
                old.append(0)
                del old[-1]
            except BufferError:
                refused.append(True)
                return

    thread = threading.Thread(target=resize_until_done)
    thread.start()
    try:
        assert Differ().patch(bytes(old), Differ().diff(old, new)) == new
    finally:
        done.set()
        thread.join()
    assert refused


def test_differ_patch_releases_the_interpreter_lock_and_patch_keeps_it():
    old = random.Random(3).randbytes(16 << 20)
    checked = Differ(method="index", checked=True).diff(old, old[:-1] + b"!")
    # Any spin at all shows the lock was let go; how many depends only on the
    # machine's speed, so the count is not asserted.
    assert spins_during(lambda: Differ(checked=True).patch(old, checked)) > 0
    assert spins_during(lambda: delta.patch(old, checked)) == 0


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=64), st.integers(-80, 80), st.integers(-80, 80), st.integers(-5, 5).filter(bool))
def test_results_index_slice_and_join_like_bytes(value, start, stop, step):
    result = delta.patch(b"", delta.diff(b"", value))
    assert [result[i] for i in range(-len(value), len(value))] == [value[i] for i in range(-len(value), len(value))]
    assert result[start:stop:step] == value[start:stop:step] and type(result[start:stop]) is bytes
    assert list(result) == list(value) and result.hex() == value.hex() and result.hex(":", 2) == value.hex(":", 2)
    assert result + b"!" == value + b"!" == bytes(result) + bytearray(b"!")
    assert b"!" + result == b"!" + value and bytearray(b"!") + result == b"!" + value
    assert result + result == value + value
    for index in (len(value), -len(value) - 1):
        with pytest.raises(IndexError, match="PythonOutBuf index out of range"):
            result[index]
    with pytest.raises(TypeError, match="indices must be integers or slices, not str"):
        result["0"]
    with pytest.raises(TypeError):
        result + 1


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_results_holders_and_differs_pickle(protocol):
    old, new = versions(11)
    result = Differ(checked=True).diff(old, new)
    again = pickle.loads(pickle.dumps(result, protocol))
    assert type(again) is PythonOutBuf and again == result
    memoryview(again)[0] ^= 1  # a copy shares nothing with the original
    assert again != result and copy.copy(result) == result == copy.deepcopy(result)
    holder = pickle.loads(pickle.dumps(PythonInBuf(old), protocol))
    assert delta.patch(holder, result) == new == delta.patch(copy.copy(holder), result)
    assert pickle.loads(pickle.dumps(delta.inspect(result), protocol)) == delta.inspect(result)
    for differ in (Differ(), Differ(level=3, step_budget=77), Differ(adaptive=True), Differ(method="index", checked=True), make("compact", checked=True)):
        differ.diff(old, new)
        for twin in (pickle.loads(pickle.dumps(differ, protocol)), copy.copy(differ), copy.deepcopy(differ)):
            assert type(twin) is Differ and repr(twin) == repr(differ)
            assert twin.last_level is None  # an adaptive history starts afresh
            assert twin.diff(old, new) == differ.diff(old, new) or differ.adaptive
    # A state is checked as settings given by hand are.
    with pytest.raises(ValueError, match="level must be from 0 to 4"):
        Differ.__new__(Differ).__setstate__({"level": 9})


def test_the_parallel_example_runs_under_spawn():
    example = Path(__file__).resolve().parents[2] / "examples" / "parallel.py"
    run = subprocess.run([sys.executable, str(example), "--start-method", "spawn"], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "all rebuilt" in run.stdout
