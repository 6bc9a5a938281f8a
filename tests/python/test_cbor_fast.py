"""dumps against _dumps_plain, the encoder without the fast path for built-in
types: for generated values of every kind, accepted or refused, under every
option set, the same bytes or the same exception type and message."""

import inspect
import math
import random
import re
import struct
import sys

import array
import mmap

import pytest

from tovarel_core.cbor import Encoder, _dumps_plain, dumps

try:
    import numpy
except ImportError:  # the numpy scalars are left out of the generated values
    numpy = None

CASES = 30_000
VALUES = 100_000  # at least this many values, nested ones included, per run
OPTIONS = [
    {"indefinite": indefinite, "max_depth": max_depth}
    for indefinite in (True, False)
    for max_depth in (0, 1, 2, 3, 6, 2**64 - 1)
]


WIDTHS = {"H": ("e", 16), "I": ("f", 32), "Q": ("d", 64)}


def from_bits(fmt, bits):
    """The half, single or double whose bits are given, as a Python float."""
    float_fmt, width = WIDTHS[fmt]
    return struct.unpack("<" + float_fmt, struct.pack("<" + fmt, bits & ((1 << width) - 1)))[0]


INT_EDGES = [0, 23, 24, 255, 256, 65535, 65536, 2**32, 2**63, 2**64, 2**70]
INTS = sorted({sign * (edge + step) for edge in INT_EDGES for step in (-1, 0, 1) for sign in (1, -1)})

# Zeros, infinities, NaNs with payloads and signs, and the edges of the half
# and single ranges (normal and subnormal), each with its neighbours.
FLOAT_EDGES = [0.0, math.inf, 65504.0, 65520.0, 2.0**-14, 2.0**-24, 2.0**-126, 2.0**-149, 2.0**-1074]
FLOAT_EDGES += [from_bits("I", 0x7F7FFFFF), 1.00048828125, 0.1, 1e300]
FLOATS = [s * f for f in FLOAT_EDGES for s in (1, -1)]
FLOATS += [math.nextafter(f, d) for f in FLOATS for d in (math.inf, -math.inf)]
FLOATS += [from_bits("Q", b) for b in (0x7FF8000000000000, 0xFFF8000000000001, 0x7FF0000000000001)]


# A subclass of every built-in type dumps accepts (bool has none).
INT_SUB, FLOAT_SUB, STR_SUB, BYTES_SUB, LIST_SUB, TUPLE_SUB, DICT_SUB = (
    type(base.__name__ + "Sub", (base,), {}) for base in (int, float, str, bytes, list, tuple, dict)
)


class Hook:
    """Runs an action (perhaps changing a container being encoded) when
    asked for its truth value or its integer value."""

    def __init__(self, action, result):
        self.action, self.result = action, result

    def __bool__(self):
        self.action()
        return bool(self.result)

    def __index__(self):
        self.action()
        return self.result


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def text(rng):
    alphabet = rng.choice(["ascii", "latin", "cjk", "astral", "surrogate"])
    top = {"ascii": 0x7F, "latin": 0x2FF, "cjk": 0x9FFF, "astral": 0x10FFFF, "surrogate": 0x7F}[alphabet]
    chars = [chr(rng.randrange(1, top)) for _ in range(rng.randrange(0, 30))]
    if alphabet == "surrogate":
        chars.insert(rng.randrange(len(chars) + 1), chr(rng.randrange(0xD800, 0xE000)))
    return "".join(c for c in chars if not 0xD800 <= ord(c) < 0xE000 or alphabet == "surrogate")


def bytes_like(rng):
    """Buffers of one-byte items (byte strings) and of wider items, strided
    or many-dimensional ones (refused)."""
    data = rng.randbytes(rng.randrange(0, 12))
    choice = rng.randrange(7)
    if choice == 0:
        return memoryview(data)[rng.randrange(len(data) + 1) :]
    if choice == 1:
        return array.array(rng.choice("bB"), data)
    if choice == 2:
        block = mmap.mmap(-1, max(len(data), 1))
        block[: len(data)] = data
        return block
    if choice == 3:
        return memoryview(data + data)[::2]
    if choice == 4:
        return memoryview(data[: len(data) // 4 * 4]).cast("i")
    if choice == 5:
        return memoryview(data).cast("c")
    return memoryview(bytearray(data))


def numpy_scalar(rng):
    """numpy's integers across their whole ranges, its floats of every width
    (a longdouble may hold more than a double), its booleans and arrays."""
    choice = rng.randrange(5)
    if choice == 0:
        kind = rng.choice([numpy.int8, numpy.int16, numpy.int32, numpy.int64,
                           numpy.uint8, numpy.uint16, numpy.uint32, numpy.uint64])
        info = numpy.iinfo(kind)
        return kind(rng.choice([info.min, info.max, 0, 1, rng.randint(int(info.min), int(info.max))]))
    if choice == 1:
        kind = rng.choice([numpy.float16, numpy.float32, numpy.float64, numpy.longdouble])
        with numpy.errstate(all="ignore"):
            return kind(rng.choice(FLOATS[:40])) / kind(rng.choice([1, 3, 7]))
    if choice == 2:
        return numpy.bool_(rng.random() < 0.5)
    if choice == 3:
        return rng.choice([numpy.complex64(1j), numpy.datetime64(0, "s")])
    return numpy.arange(rng.randrange(3), dtype=rng.choice([numpy.uint8, numpy.float32]))


class Made:
    values = 0
    hooks = False
    exotic = True  # whether values other than exact built-in ones may be made


def scalar(rng):
    Made.values += 1
    kind = rng.randrange(16)
    if not Made.exotic and 9 <= kind <= 14:
        kind = 1
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice(INTS)
    if kind == 2:
        return rng.randrange(-(2**64), 2**65) >> rng.randrange(66)
    if kind == 3:
        return rng.choice(FLOATS)
    if kind == 4:
        return from_bits(rng.choice("QIH"), rng.getrandbits(64))
    if kind == 5:
        return from_bits("Q", rng.getrandbits(64))
    if kind in (6, 7):
        return text(rng)
    if kind == 8:
        return rng.randbytes(rng.randrange(0, 300 if rng.random() < 0.1 else 20))
    if kind == 9:
        return bytearray(rng.randbytes(rng.randrange(5)))
    if kind == 10:
        return rng.choice([INT_SUB(rng.choice(INTS)), FLOAT_SUB(rng.choice(FLOATS)), STR_SUB("s"), BYTES_SUB(b"b")])
    if kind == 11:
        return IndexOnly(rng.choice(INTS))
    if kind == 12:
        return rng.choice([object(), {1}, 1j, 0j, frozenset(), range(2), memoryview(b"x")])
    if kind == 13:
        return bytes_like(rng)
    if kind == 14 and numpy is not None:
        return numpy_scalar(rng)
    return rng.choice([-1, 0, 1, 2**64, -(2**63)])


def value(rng, depth=0):
    """A value up to a few levels deep; containers may hold themselves or
    hooks that change them while they are encoded."""
    if depth >= 4 or rng.random() < 0.45:
        return scalar(rng)
    Made.values += 1
    kind = rng.randrange(8)
    if not Made.exotic and kind in (5, 7):
        kind = 0
    size = rng.randrange(0, 6)
    if kind <= 1:
        out = [value(rng, depth + 1) for _ in range(size)]
    elif kind == 2:
        out = tuple(value(rng, depth + 1) for _ in range(size))
    elif kind <= 4:
        out = {}
        for _ in range(size):
            key = rng.choice([scalar(rng), (1, "t"), ("k", (2,))])
            try:
                out[key] = value(rng, depth + 1)
            except (TypeError, ValueError):  # unhashable key
                pass
    elif kind == 5:
        out = rng.choice([LIST_SUB([1]), TUPLE_SUB((2,)), DICT_SUB(a=3)])
    elif kind == 6:
        out = [value(rng, depth + 1) for _ in range(size)]
        out.insert(rng.randrange(len(out) + 1), out)
    else:
        Made.hooks = True
        out = {"a": 1, "b": 2}
        actions = [lambda: out.pop("b", None), lambda: out.update(c=3), lambda: None]
        out["a"] = Hook(rng.choice(actions), rng.choice([0, 1, 2**70]))
        if rng.random() < 0.5:
            out = [out, Hook(lambda: out.clear(), 1)]
    return out


def outcome(encode, value, options):
    try:
        return encode(value, **options).hex()
    except Exception as error:  # the type and message are what is compared
        # A refused argument's report names the function and the object.
        message = str(error).replace(encode.__name__ + "(", "dumps(")
        return type(error), re.sub(" at 0x[0-9a-f]+", "", message)


def test_fast_path_matches_the_general_encoder():
    kinds = set()
    Made.values = 0
    # Containers that hold themselves recurse to the interpreter's limit;
    # a lower one keeps each such case short.
    old_limit = sys.getrecursionlimit()
    sys.setrecursionlimit(len(inspect.stack()) + 150)
    try:
        for case in range(CASES):
            options = OPTIONS[case % len(OPTIONS)]
            Made.hooks = False
            # Two cases in three are built from exact built-in types only,
            # the fast path's own ground.
            Made.exotic = case % 3 == 0
            value_for_fast = value(random.Random(case))
            # Hooks change their containers, so each encoder gets its own copy.
            value_for_plain = value(random.Random(case)) if Made.hooks else value_for_fast
            fast = outcome(dumps, value_for_fast, options)
            plain = outcome(_dumps_plain, value_for_plain, options)
            assert fast == plain, (case, options)
            kinds.add(fast[0] if isinstance(fast, tuple) else str)
    finally:
        sys.setrecursionlimit(old_limit)
    # Successes and each kind of failure were all seen.
    assert {str, RuntimeError, RecursionError} <= kinds
    assert Made.values >= VALUES


def nested(depth):
    value = []
    for level in range(depth):
        value = [value] if level % 3 else ({"k": value} if level % 2 else (value,))
    return value


def test_recursion_limit_is_reached_at_the_same_depth():
    limit = sys.getrecursionlimit()
    for depth in range(limit - 80, limit + 2):
        value = nested(depth)
        assert outcome(dumps, value, {}) == outcome(_dumps_plain, value, {}), depth


def test_native_stack_check_fails_at_the_same_depth(on_small_stack):
    # With the interpreter's limit raised, the stack check decides; on a
    # thread with a small stack the boundary is found for the general
    # encoder and dumps must agree on both sides of it.
    results = []

    def succeeds(encode, depth):
        return isinstance(outcome(encode, nested(depth), {}), str)

    def run():
        low, high = 1, 100_000
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if succeeds(_dumps_plain, middle) else (low, middle - 1)
        results.append(low)
        for depth in range(low - 3, low + 4):
            results.append((depth, succeeds(dumps, depth), succeeds(_dumps_plain, depth)))

    on_small_stack(run)
    boundary, *checks = results
    assert 100 < boundary < 100_000
    for depth, fast, plain in checks:
        assert fast == plain == (depth <= boundary), depth


def large_documents():
    """Outputs of a few MiB sized every way the encoder sizes its block:
    grown from a guess that fell short, guessed too large (copied out),
    guessed nearly right (cut), and exactly sized (all byte strings)."""
    rng = random.Random(7)
    blobs = [rng.randbytes(rng.randrange(1 << 16)) for _ in range(200)]
    yield blobs + list(range(100_000))
    yield [rng.random() if i % 3 else float(i % 50) for i in range(400_000)]
    yield [1.5] * 300_000
    yield blobs
    yield tuple(blobs[:40]) + (b"",)
    yield [b"x" * 23, b"y" * 24, b"z" * 255, b"w" * 256, b"v" * 65535, b"u" * 65536] * 20
    # Begun in the thread's kept block, then past its limit (moved into the
    # result mid-walk), and just within it, from a map whose size no guess sees.
    words = ["".join(rng.choice("aé日z ") for _ in range(rng.randrange(300))) for _ in range(6000)]
    yield {"text": words * 4, "n": 1}
    yield {"text": words, "more": {str(i): w for i, w in enumerate(words)}}


@pytest.mark.parametrize("indefinite", [True, False])
def test_large_documents_size_the_output(indefinite):
    encoders = [Encoder(deterministic=mode) for mode in (None, "core", "length_first")]
    for value in large_documents():
        assert dumps(value, indefinite) == _dumps_plain(value, indefinite)
        for encoder in encoders if not indefinite else ():
            assert encoder.encode(value) == encoder._encode_plain(value)


def test_an_encoding_inside_a_hook_keeps_the_outer_bytes():
    # The outer walk holds the thread's output block while the hook runs;
    # the hook's own encodings, large enough to fill a block, must not
    # write into it.
    inner = {"words": ["ünïcode text " * 20 + str(i) for i in range(3000)]}
    core = Encoder(deterministic="core")
    expected = _dumps_plain(inner), core._encode_plain(inner)

    def hook(_):
        assert (dumps(inner), core.encode(inner)) == expected
        return ["after the hook", 7]

    value = [{"k": "before the hook " * 100}, object(), "tail " * 50]
    for mode in (None, "core"):
        plain = Encoder(default=lambda _: ["after the hook", 7], deterministic=mode)._encode_plain(value)
        assert Encoder(default=hook, deterministic=mode).encode(value) == plain
