"""delta.Differ: its settings, its results against delta.diff and against
the core's own driver, the interpreter lock and threads."""

import ctypes
import random
import sys
import threading
import time

import pytest

import tovarel_core
from tovarel_core import delta
from tovarel_core.delta import Differ, PythonInBuf


def edited_pairs(seed, count):
    """Old values and edits of them (small alphabets, so that searches are
    long and small budgets bail out), plus a few unrelated and equal ones."""
    rng = random.Random(seed)
    pairs = []
    for _ in range(count):
        old = bytes(rng.randrange(4) for _ in range(rng.randrange(0, 600)))
        new = bytearray(old)
        for _ in range(rng.randrange(0, 8)):
            at = rng.randrange(len(new) + 1)
            new[at : at + rng.randrange(20)] = bytes(rng.randrange(4) for _ in range(rng.randrange(20)))
        pairs.append((old, bytes(new)))
    pairs += [(b"abc", b"abc"), (b"a", b"a"), (b"", b""), (b"xyz", rng.randbytes(300))]
    return pairs


def shuffled_blocks(size, block=4096, seed=5):
    """A pair on which every search spends its whole step budget."""
    rng = random.Random(seed)
    old = rng.randbytes(size)
    blocks = [old[i : i + block] for i in range(0, size, block)]
    rng.shuffle(blocks)
    return old, b"".join(blocks)


# --- the core's driver, called directly, as the oracle ----------------------


class Buf(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("len", ctypes.c_uint64), ("capacity", ctypes.c_uint64)]


def view(value):
    """A buf record over the storage of a bytes object (kept alive by the caller)."""
    return Buf(ctypes.cast(ctypes.c_char_p(value), ctypes.c_void_p), len(value), len(value))


class History(ctypes.Structure):
    _fields_ = [
        ("last_delta_quality", ctypes.c_int32),
        ("buckets", ctypes.POINTER(ctypes.c_uint64)),
        ("bucket_count", ctypes.c_uint64),
        ("bucket_width", ctypes.c_uint64),
        ("bucket_shift", ctypes.c_int32),
        ("bucket_mask", ctypes.c_int32),
        ("current_bucket", ctypes.c_uint64),
        ("start_time", ctypes.c_uint64),
        ("busy_total", ctypes.c_uint64),
        ("utilisation_shift", ctypes.c_int32),
    ]


core = ctypes.CDLL(tovarel_core.__file__)
core.tovarel_activity_history_create.restype = ctypes.POINTER(History)
core.tovarel_activity_history_create.argtypes = [ctypes.c_int32, ctypes.c_uint64]
core.tovarel_activity_history_free.argtypes = [ctypes.POINTER(History)]
core.diff_generate_binary_with_activity_history_ex.restype = ctypes.POINTER(Buf)
core.diff_generate_binary_with_activity_history_ex.argtypes = [
    ctypes.POINTER(History),
    ctypes.POINTER(Buf),
    ctypes.POINTER(Buf),
    ctypes.c_int32,
    ctypes.c_int32,
]
core.buf_free.argtypes = [ctypes.POINTER(Buf)]

LEVEL_FIGURES = [0, 128, 166, 204, 243]  # a utilisation figure for each level


def core_diff(old, new, level, step_budget):
    """The driver with a history that reads the level's figure: one bucket
    and a 256 ms window make the figure equal to the busy total, and a last
    start "in the future" keeps the driver's own start from clearing it."""
    history = core.tovarel_activity_history_create(1, 256)
    try:
        history.contents.buckets[0] = LEVEL_FIGURES[level]
        history.contents.busy_total = LEVEL_FIGURES[level]
        history.contents.current_bucket = 2**64 - 2
        result = core.diff_generate_binary_with_activity_history_ex(
            history, view(old), view(new), 2**31 - 1, step_budget
        )
        assert history.contents.last_delta_quality == level
        try:
            return ctypes.string_at(result.contents.data, result.contents.len)
        finally:
            core.buf_free(result)
    finally:
        core.tovarel_activity_history_free(history)


def test_default_differ_equals_diff():
    differ = Differ()
    for old, new in edited_pairs(1, 300):
        expected = bytes(delta.diff(old, new))
        assert bytes(differ.diff(old, new)) == expected
        assert bytes(differ.diff(PythonInBuf(old), new)) == expected
        assert differ.last_level == 0


@pytest.mark.parametrize("level", range(5))
def test_each_level_and_budget_equals_the_core(level):
    for step_budget in (1, 2, 3, 7, 64, 10000):
        differ = Differ(level=level, step_budget=step_budget)
        for old, new in edited_pairs(level * 100 + step_budget, 40):
            result = differ.diff(old, new)
            assert bytes(result) == core_diff(old, new, level, step_budget)
            assert differ.last_level == level
            assert bytes(delta.patch(old, bytes(result))) == new


@pytest.mark.parametrize(
    "settings, error",
    [
        ({"level": -1}, ValueError),
        ({"level": 5}, ValueError),
        ({"level": 2**70}, ValueError),
        ({"step_budget": 0}, ValueError),
        ({"step_budget": 2**31}, ValueError),
        ({"step_budget": -(2**70)}, ValueError),
        ({"adaptive": True, "level": 2}, ValueError),
        ({"level": 1.0}, TypeError),
        ({"level": "1"}, TypeError),
        ({"level": True}, TypeError),
        ({"step_budget": None}, TypeError),
        ({"adaptive": 1}, TypeError),
    ],
)
def test_settings_are_checked_at_construction(settings, error):
    with pytest.raises(error):
        Differ(**settings)


def test_settings_are_keyword_only_read_only_and_shown():
    with pytest.raises(TypeError):
        Differ(1)  # type: ignore[misc]
    differ = Differ(level=3, step_budget=2**31 - 1)
    assert (differ.level, differ.step_budget, differ.adaptive, differ.last_level) == (3, 2**31 - 1, False, None)
    for name in ("level", "step_budget", "adaptive", "last_level"):
        with pytest.raises(AttributeError):
            setattr(differ, name, 1)
    assert repr(differ) == "Differ(level=3, step_budget=2147483647, adaptive=False)"
    assert repr(eval(repr(differ), {"Differ": Differ})) == repr(differ)


# Differ.diff takes any buffer of bytes (tested with the other inputs in
# test_delta_checked.py); what is not one is refused by name, None included.
@pytest.mark.parametrize("args", [("a", b"b"), (b"a", 1), (None, b"x")])
def test_inputs_that_are_not_bytes_are_refused(args):
    with pytest.raises(TypeError, match="must be a buffer of bytes"):
        Differ().diff(*args)
    with pytest.raises(TypeError, match="not initialised"):
        Differ.__new__(Differ).diff(b"a", b"b")


def test_adaptive_level_follows_the_load():
    differ = Differ(adaptive=True)
    assert differ.last_level is None
    # Each comparison is far shorter than a bucket of the history, so each
    # is charged exactly.
    old, new = shuffled_blocks(1 << 12, 256)
    first = differ.diff(old, new)
    assert differ.last_level == 0  # a new history has seen no load
    assert bytes(first) == bytes(delta.diff(old, new))
    # Diffing back to back keeps the differ busy nearly all the time, so
    # its level must rise within a few windows; each result is the one of
    # the level it reports.
    deadline = time.monotonic() + 20
    while differ.last_level == 0 and time.monotonic() < deadline:
        result = differ.diff(old, new)
    assert differ.last_level >= 1
    assert bytes(result) == bytes(Differ(level=differ.last_level).diff(old, new))


def spins_during(call):
    """How often the main thread gets round a loop while `call` runs on
    another thread.  With a switch interval far longer than the test, that
    thread gives up the interpreter lock only where it releases it itself,
    so the count it reads before and after the call is unchanged unless the
    call released the lock."""
    counter = [0]
    seen = []
    done = threading.Event()

    def worker():
        before = counter[0]
        call()
        seen.append(counter[0] - before)
        done.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        while not done.is_set():
            counter[0] += 1
            time.sleep(0)  # lets the worker take the lock back at once
        thread.join()
    finally:
        sys.setswitchinterval(interval)
    return seen[0]


def test_differ_releases_the_interpreter_lock_and_diff_keeps_it():
    old, new = shuffled_blocks(1 << 17)
    assert spins_during(lambda: Differ().diff(old, new)) > 100
    assert spins_during(lambda: delta.diff(old, new)) == 0


@pytest.mark.parametrize("adaptive", [False, True])
def test_one_differ_on_many_threads(adaptive):
    differ = Differ(adaptive=adaptive, step_budget=50)
    pairs = edited_pairs(7, 60) + [shuffled_blocks(1 << 15, 512)]
    failures = []

    def work(offset):
        for i in range(len(pairs)):
            old, new = pairs[(i + offset) % len(pairs)]
            result = bytes(differ.diff(old, new))
            rebuilt = bytes(delta.patch(old, result))
            if rebuilt != new or (not adaptive and result != bytes(Differ(step_budget=50).diff(old, new))):
                failures.append((old, new))

    threads = [threading.Thread(target=work, args=(k * 13,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    assert differ.last_level in range(5)
