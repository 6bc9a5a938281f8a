"""The deterministic Encoder's fast path against its general walk
(Encoder._encode_plain): the same bytes, or the same error, over thousands
of generated values of every key type, with keys that share long prefixes,
maps past the insertion-sort size, sets, and keys that collide in encoding
(NaNs, and objects that default= maps to one value)."""

import math
import random
import sys

import pytest

from tovarel_core.cbor import Encoder

MODES = [None, "core", "length_first"]


class Box:
    """Hashable by identity; default= encodes it as its payload, so two
    boxes with one payload are two keys with one encoding."""

    def __init__(self, payload):
        self.payload = payload


class Text(str):
    pass


def unbox(obj):
    if isinstance(obj, Box):
        return obj.payload
    raise TypeError(f"no encoding for {type(obj).__name__}")


STEMS = ["", "a", "id", "name", "version", "a_key_with_a_long_shared_stem_", "é", "日本", "\U0001f600"]


class Values:
    """Values of every type dumps' fast path takes; with poison, now and
    then something it gives up on (what only the walk encodes or refuses)."""

    def __init__(self, rng):
        self.rng = rng
        self.poison = 0.0
        # Records: maps whose keys are the very same objects in the same
        # order, as the encoder remembers them; and look-alikes with the
        # same first key and size, in another order or with an equal copy.
        self.shapes = []
        for _ in range(8):
            keys = list(dict.fromkeys(self.key(0) for _ in range(rng.choice([1, 2, 3, 10, 20]))))
            self.shapes.append(keys)
            if len(keys) > 2:
                self.shapes.append(keys[:1] + keys[:0:-1])
                last = keys[-1]
                self.shapes.append(keys[:-1] + ["".join(last) if isinstance(last, str) else last])

    def poisoned(self):
        return self.rng.random() < self.poison

    def text(self):
        r = self.rng
        s = r.choice(STEMS) + r.choice(["", str(r.randrange(40)), "x" * r.randrange(30)])
        if self.poisoned():
            return r.choice([Text(s), s + "\ud800"])  # a subclass; a lone surrogate (no UTF-8)
        return s

    def number(self):
        r = self.rng
        if self.poisoned():
            # Bignums, and NaNs: a new object each time, so NaN keys collide.
            return r.choice([r.randrange(2**64, 2**70) * r.choice([1, -1]), float("nan")])
        kind = r.random()
        if kind < 0.3:
            return r.randrange(-30, 30)
        if kind < 0.5:
            return r.randrange(-(2**63), 2**64)
        if kind < 0.8:
            return r.choice([0.0, -0.0, 1.5, 65504.0, 1e300, math.inf, -math.inf, math.nan, r.random()])
        return r.choice([True, False, None])

    def key(self, depth):
        r = self.rng
        kind = r.randrange(7)
        if kind == 2:
            return self.number()
        if kind == 3:
            return r.choice([b"", b"\0", b"ab", b"ab\0", bytes(r.randrange(256) for _ in range(r.randrange(12)))])
        if kind == 4 and depth < 3:
            # Tuples sharing a long first part: equal prefixes, different tails.
            return (STEMS[5], self.key(depth + 1)) if r.random() < 0.5 else tuple(self.key(depth + 1) for _ in range(r.randrange(3)))
        if kind == 5 and depth < 3:
            return frozenset(self.key(depth + 1) for _ in range(r.randrange(4)))
        if self.poisoned():
            return Box(r.randrange(3))
        return self.text()

    def value(self, depth=0):
        r = self.rng
        kind = r.randrange(11 if depth < 5 else 4)
        if kind == 0:
            return self.text()
        if kind == 1:
            return self.number()
        if kind == 2:
            return r.choice([b"blob", bytearray(b"mutable"), bytes(r.randrange(40))])
        if kind == 3:
            return Box(self.number()) if self.poisoned() else None
        if kind <= 5:
            size = r.choice([0, 1, 2, 5, 9, 17, 40])  # past the insertion-sort limit too
            return {self.key(0): self.value(depth + 1) for _ in range(size)}
        if kind == 6:
            return [self.value(depth + 1) for _ in range(r.randrange(5))]
        if kind == 7:
            return tuple(self.value(depth + 1) for _ in range(r.randrange(3)))
        if kind == 8:
            return {self.key(1) for _ in range(r.randrange(8))}
        if kind == 9:
            return frozenset(self.key(1) for _ in range(r.randrange(5)))
        return [{k: self.value(depth + 2) for k in r.choice(self.shapes)} for _ in range(r.randrange(1, 6))]


def outcome(encode, value):
    try:
        return "bytes", encode(value)
    except Exception as error:  # the type and message must agree too
        return type(error), str(error)


@pytest.mark.parametrize("settings", [{}, {"default": unbox}, {"max_depth": 4}, {"default": unbox, "max_depth": 9}])
def test_fast_path_writes_what_the_walk_writes(settings):
    rng = random.Random(8949)
    generate = Values(rng)
    encoders = [Encoder(deterministic=mode, **settings) for mode in MODES]
    kinds = set()
    for i in range(1500):
        generate.poison = 0.0 if i % 3 else 0.02  # two values in three take the fast path whole
        value = generate.value()
        for encoder in encoders:
            fast, plain = outcome(encoder.encode, value), outcome(encoder._encode_plain, value)
            assert fast == plain, (encoder, value)
            kinds.add(fast[0])
    # The values reached both outcomes, and the errors of both kinds.
    assert {"bytes", ValueError, TypeError if "default" not in settings else ValueError} <= kinds


def nested(depth, hashable):
    """Lists, maps and tuples nested depth deep; or, hashable, tuples and
    sets, inside a map key."""
    value = frozenset() if hashable else []
    for level in range(depth):
        if hashable:
            value = frozenset([value]) if level % 2 else (value,)
        else:
            value = [value] if level % 3 else ({"k": value, 1: None} if level % 2 else (value,))
    return {value: 1} if hashable else value


@pytest.mark.parametrize("hashable", [False, True])
def test_nesting_limits_are_reached_at_the_same_depth(hashable, on_small_stack):
    """At the interpreter's recursion limit, and, with that raised, at the
    native stack's end on a thread with a small stack."""
    encoder = Encoder(deterministic="core")
    limit = sys.getrecursionlimit()
    for depth in range(limit - 60, limit + 2):
        value = nested(depth, hashable)
        assert outcome(encoder.encode, value) == outcome(encoder._encode_plain, value), depth

    results = []

    def succeeds(encode, depth):
        return outcome(encode, nested(depth, hashable))[0] == "bytes"

    def run():
        low, high = 1, 100_000
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if succeeds(encoder._encode_plain, middle) else (low, middle - 1)
        for depth in range(low - 3, low + 4):  # both from one frame: the same stack below them
            results.append((depth, succeeds(encoder.encode, depth), succeeds(encoder._encode_plain, depth)))

    on_small_stack(run)
    assert len(results) == 7 and all(fast == plain for _, fast, plain in results), results
    assert any(fast for _, fast, _ in results) and not all(fast for _, fast, _ in results)
