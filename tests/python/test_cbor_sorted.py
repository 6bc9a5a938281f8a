"""The deterministic Encoder's fast path against its general walk
(Encoder._encode_plain): the same bytes, or the same error, over thousands
of generated values of every key type, with keys that share long prefixes,
maps past the insertion-sort size, sets, and keys that collide in encoding
(NaNs, and objects that default= maps to one value)."""

import math
import random

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
    def __init__(self, rng):
        self.rng = rng

    def text(self):
        r = self.rng
        s = r.choice(STEMS) + r.choice(["", str(r.randrange(40)), "x" * r.randrange(30)])
        if r.random() < 0.01:
            s += "\ud800"  # a lone surrogate: no UTF-8 form
        return Text(s) if r.random() < 0.02 else s

    def number(self):
        r = self.rng
        kind = r.random()
        if kind < 0.3:
            return r.randrange(-30, 30)
        if kind < 0.5:
            return r.randrange(-(2**64), 2**64)
        if kind < 0.52:
            return r.randrange(2**64, 2**70) * r.choice([1, -1])  # bignums
        if kind < 0.8:
            return r.choice([0.0, -0.0, 1.5, 65504.0, 1e300, math.inf, -math.inf, r.random()])
        if kind < 0.83:
            return float("nan")  # a new object each time: NaN keys collide
        return r.choice([True, False, None])

    def key(self, depth):
        r = self.rng
        kind = r.randrange(7)
        if kind <= 1:
            return self.text()
        if kind == 2:
            return self.number()
        if kind == 3:
            return r.choice([b"", b"\0", b"ab", b"ab\0", bytes(r.randrange(256) for _ in range(r.randrange(12)))])
        if kind == 4 and depth < 3:
            # Tuples sharing a long first part: equal prefixes, different tails.
            return (STEMS[5], self.key(depth + 1)) if r.random() < 0.5 else tuple(self.key(depth + 1) for _ in range(r.randrange(3)))
        if kind == 5 and depth < 3:
            return frozenset(self.key(depth + 1) for _ in range(r.randrange(4)))
        if r.random() < 0.05:
            return Box(r.randrange(3))
        return self.text()

    def value(self, depth=0):
        r = self.rng
        kind = r.randrange(10 if depth < 5 else 4)
        if kind == 0:
            return self.text()
        if kind == 1:
            return self.number()
        if kind == 2:
            return r.choice([b"blob", bytearray(b"mutable"), bytes(r.randrange(40))])
        if kind == 3:
            return Box(self.number()) if r.random() < 0.05 else None
        if kind <= 5:
            size = r.choice([0, 1, 2, 5, 9, 17, 40])  # past the insertion-sort limit too
            return {self.key(0): self.value(depth + 1) for _ in range(size)}
        if kind == 6:
            return [self.value(depth + 1) for _ in range(r.randrange(5))]
        if kind == 7:
            return tuple(self.value(depth + 1) for _ in range(r.randrange(3)))
        if kind == 8:
            return {self.key(1) for _ in range(r.randrange(8))}
        return frozenset(self.key(1) for _ in range(r.randrange(5)))


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
    for _ in range(1500):
        value = generate.value()
        for encoder in encoders:
            fast, plain = outcome(encoder.encode, value), outcome(encoder._encode_plain, value)
            assert fast == plain, (encoder, value)
            kinds.add(fast[0])
    # The values reached both outcomes, and the errors of both kinds.
    assert {"bytes", ValueError, TypeError if "default" not in settings else ValueError} <= kinds
