"""Differ(method="index"): its deltas through the unchanged delta.patch, the
outcomes it shares with the Myers method, its settings, and threads."""

import random
import threading

import pytest

from tovarel_core import delta
from tovarel_core.delta import Differ, PythonInBuf

from test_differ import edited_pairs, shuffled_blocks, spins_during


def reshaped_pairs(seed, count):
    """Old values and new ones made of their blocks moved and repeated,
    random data, small alphabets, tiny and empty values."""
    rng = random.Random(seed)
    pairs = []
    for _ in range(count):
        alphabet = rng.choice([256, 4, 1])
        old = bytes(rng.randrange(alphabet) for _ in range(rng.choice([0, 5, 9, 300, 3000])))
        new = b""
        for _ in range(rng.randrange(5)):
            at = rng.randrange(len(old) + 1)
            new += old[at : at + rng.randrange(1500)] + rng.randbytes(rng.randrange(3))
        pairs.append((old, new))
    return pairs


@pytest.mark.parametrize("level", range(5))
def test_round_trips_through_patch_and_never_exceeds_the_replacement_delta(level):
    differ = Differ(method="index", level=level)
    for old, new in reshaped_pairs(15 + level, 400) + edited_pairs(16, 100):
        result = differ.diff(old, new)
        raw = bytes(result)
        assert bytes(delta.patch(old, raw)) == new
        assert len(raw) <= len(new) + 5
        assert raw == bytes(differ.diff(PythonInBuf(old), new))  # deterministic, any argument form


@pytest.mark.parametrize(
    "old, new, want",
    [
        (b"abc", b"abc", b"\xf6"),
        (b"a", b"a", b"\x41a"),
        (b"", b"", b"\x40"),
        (b"abc", b"", b"\x40"),
        (b"", b"xyz", b"\x43xyz"),
        (bytes(range(100)), bytes(range(100, 200)), b"\x58\x64" + bytes(range(100, 200))),
    ],
)
def test_gives_the_whole_value_outcomes_of_the_myers_method(old, new, want):
    assert bytes(Differ(method="index").diff(old, new)) == want == bytes(delta.diff(old, new))


@pytest.mark.parametrize(
    "settings, error",
    [
        ({"method": "fast"}, ValueError),
        ({"method": "Index"}, ValueError),
        ({"method": 1}, TypeError),
        ({"method": None}, TypeError),
        ({"method": "index", "step_budget": 500}, ValueError),
        ({"method": "index", "adaptive": True}, ValueError),
        ({"method": "index", "level": 9}, ValueError),
        ({"method": "index", "level": -1}, ValueError),
        ({"method": "index", "level": True}, TypeError),
    ],
)
def test_refuses_settings_the_index_method_would_ignore(settings, error):
    with pytest.raises(error):
        Differ(**settings)


def test_settings_and_repr():
    differ = Differ(method="index", level=0, step_budget=10000, adaptive=False)
    assert (differ.method, differ.level, differ.step_budget, differ.adaptive) == ("index", 0, 10000, False)
    assert Differ().method == "myers" and repr(Differ()) == "Differ(level=0, step_budget=10000, adaptive=False)"
    assert repr(differ) == "Differ(method='index')"
    assert repr(eval(repr(differ), {"Differ": Differ})) == repr(differ)
    assert differ.last_level is None
    differ.diff(b"abcdefgh" * 4, b"abcdefgh" * 5)
    assert differ.last_level == 0
    fast = Differ(method="index", level=3)
    assert (fast.level, repr(fast)) == (3, "Differ(level=3, method='index')")
    assert repr(eval(repr(fast), {"Differ": Differ})) == repr(fast)
    with pytest.raises(AttributeError):
        differ.method = "myers"


def test_releases_the_interpreter_lock_and_runs_on_many_threads():
    rng = random.Random(3)
    old = rng.randbytes(32 << 20)
    new = old[: 8 << 20] + b"edit" + old[(8 << 20) + 4 :]
    assert spins_during(lambda: Differ(method="index").diff(old, new)) > 0

    differ = Differ(method="index")
    pairs = reshaped_pairs(7, 40) + [shuffled_blocks(1 << 16, 512)]
    expected = [bytes(differ.diff(old, new)) for old, new in pairs]
    failures = []

    def work(offset):
        for i in range(len(pairs)):
            k = (i + offset) % len(pairs)
            if bytes(differ.diff(*pairs[k])) != expected[k]:
                failures.append(k)

    threads = [threading.Thread(target=work, args=(k * 11,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


LARGE_SCRIPT = """
import os, random, sys, threading
from tovarel_core import delta
rng = random.Random(5)
old = rng.randbytes(12 << 20)
new = old[: 5 << 20] + b"edit" + old[(5 << 20) + 4 :]
differ = delta.Differ(method="index")
expected = bytes(differ.diff(old, new))  # the pool's threads now exist
assert bytes(delta.patch(old, expected)) == new
if sys.argv[1] == "fork":
    pid = os.fork()
    if pid == 0:  # the child has none of the parent's threads
        os._exit(0 if bytes(differ.diff(old, new)) == expected else 3)
    os._exit(os.waitpid(pid, 0)[1] >> 8)
# Exit while a diff is running on another thread.
threading.Thread(target=lambda: [differ.diff(old, new) for _ in range(50)], daemon=True).start()
"""


@pytest.mark.parametrize("case", ["fork", "exit"])
def test_the_thread_pool_survives_fork_and_interpreter_exit(case):
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, "-c", LARGE_SCRIPT, case], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
