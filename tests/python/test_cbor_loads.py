"""cbor.loads and loads_sequence: the RFC 8949 examples, round trips through
dumps, every encoding form of generated values, refusals with their byte
offsets, hostile input, and the Tag, Simple and undefined types."""

import math
import pickle
from datetime import datetime, timezone
import random
import struct
import subprocess
import sys
import tracemalloc

import cbor2
import pytest
from hypothesis import given, settings, strategies as st

from tovarel_core import cbor, delta
from tovarel_core.cbor import CBORDecodeError, Simple, Tag, dumps, loads, loads_sequence, undefined

UTC = timezone.utc
TYPED_TAGS = {0, 1, 2, 3, 4, 30, 37, 52, 54, 100, 258, 1004}
NAN = float("nan")
INF = float("inf")

# RFC 8949, Appendix A: every example, with the value the RFC gives.
APPENDIX_A = [
    ("00", 0), ("01", 1), ("0a", 10), ("17", 23), ("1818", 24), ("1819", 25), ("1864", 100),
    ("1903e8", 1000), ("1a000f4240", 1000000), ("1b000000e8d4a51000", 1000000000000),
    ("1bffffffffffffffff", 18446744073709551615), ("c249010000000000000000", 18446744073709551616),
    ("3bffffffffffffffff", -18446744073709551616), ("c349010000000000000000", -18446744073709551617),
    ("20", -1), ("29", -10), ("3863", -100), ("3903e7", -1000),
    ("f90000", 0.0), ("f98000", -0.0), ("f93c00", 1.0), ("fb3ff199999999999a", 1.1), ("f93e00", 1.5),
    ("f97bff", 65504.0), ("fa47c35000", 100000.0), ("fa7f7fffff", 3.4028234663852886e38),
    ("fb7e37e43c8800759c", 1.0e300), ("f90001", 5.960464477539063e-8), ("f90400", 0.00006103515625),
    ("f9c400", -4.0), ("fbc010666666666666", -4.1), ("f97c00", INF), ("f97e00", NAN),
    ("f9fc00", -INF), ("fa7f800000", INF), ("fa7fc00000", NAN), ("faff800000", -INF),
    ("fb7ff0000000000000", INF), ("fb7ff8000000000000", NAN), ("fbfff0000000000000", -INF),
    ("f4", False), ("f5", True), ("f6", None), ("f7", undefined), ("f0", Simple(16)),
    ("f8ff", Simple(255)),
    ("c074323031332d30332d32315432303a30343a30305a", datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    ("c11a514b67b0", datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    ("c1fb41d452d9ec200000", datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=UTC)),
    ("d74401020304", Tag(23, b"\x01\x02\x03\x04")), ("d818456449455446", Tag(24, b"dIETF")),
    ("d82076687474703a2f2f7777772e6578616d706c652e636f6d", Tag(32, "http://www.example.com")),
    ("40", b""), ("4401020304", b"\x01\x02\x03\x04"), ("60", ""), ("6161", "a"),
    ("6449455446", "IETF"), ("62225c", '"\\'), ("62c3bc", "\u00fc"), ("63e6b0b4", "\u6c34"),
    ("64f0908591", "\U00010151"), ("80", []), ("83010203", [1, 2, 3]),
    ("8301820203820405", [1, [2, 3], [4, 5]]),
    ("98190102030405060708090a0b0c0d0e0f101112131415161718181819", list(range(1, 26))),
    ("a0", {}), ("a201020304", {1: 2, 3: 4}), ("a26161016162820203", {"a": 1, "b": [2, 3]}),
    ("826161a161626163", ["a", {"b": "c"}]),
    ("a56161614161626142616361436164614461656145", {c: c.upper() for c in "abcde"}),
    ("5f42010243030405ff", b"\x01\x02\x03\x04\x05"), ("7f657374726561646d696e67ff", "streaming"),
    ("9fff", []), ("9f018202039f0405ffff", [1, [2, 3], [4, 5]]),
    ("9f01820203820405ff", [1, [2, 3], [4, 5]]), ("83018202039f0405ff", [1, [2, 3], [4, 5]]),
    ("83019f0203ff820405", [1, [2, 3], [4, 5]]),
    ("9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff", list(range(1, 26))),
    ("bf61610161629f0203ffff", {"a": 1, "b": [2, 3]}), ("826161bf61626163ff", ["a", {"b": "c"}]),
    ("bf6346756ef563416d7421ff", {"Fun": True, "Amt": -2}),
]


def float_bits(value):
    return struct.pack(">d", value)


def same(a, b):
    """Equality that also holds NaN to NaN and tells -0.0 from 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or float_bits(a) == float_bits(b)
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, Tag):
        return a.tag == b.tag and same(a.value, b.value)
    return a == b


@pytest.mark.parametrize("encoded, value", APPENDIX_A, ids=[e for e, _ in APPENDIX_A])
def test_rfc_examples(encoded, value):
    assert same(loads(bytes.fromhex(encoded)), value)



def test_every_half_and_many_singles_decode_exactly():
    halves = b"".join(b"\xf9" + struct.pack(">H", n) for n in range(1 << 16))
    for n, value in enumerate(loads_sequence(halves)):
        assert same(value, struct.unpack(">e", struct.pack(">H", n))[0]), hex(n)
    rng = random.Random(7)
    singles = [struct.pack(">I", rng.getrandbits(32)) for _ in range(20000)]
    for raw, value in zip(singles, loads_sequence(b"".join(b"\xfa" + r for r in singles))):
        assert same(value, struct.unpack(">f", raw)[0]), raw.hex()


def value_strategy(integers):
    """Nested values of every kind loads gives; keys hashable."""
    scalars = (
        st.none() | st.booleans() | integers | st.floats() | st.text() | st.binary()
        | st.just(undefined) | st.integers(0, 255).filter(lambda n: n < 20 or n > 31).map(Simple)
    )
    # 2 and 3 are bignums, and the tags of the standard library's types
    # decode to those types.
    tags = st.integers(0, 2**64 - 1).filter(lambda n: n not in TYPED_TAGS)
    keys = st.recursive(
        st.none() | st.booleans() | integers | st.text(max_size=40) | st.binary(),
        lambda inner: st.tuples(inner, inner) | st.builds(Tag, tags, inner),
        max_leaves=4,
    )
    return st.recursive(
        scalars,
        lambda inner: st.lists(inner, max_size=6) | st.tuples(inner, inner)
        | st.dictionaries(keys, inner, max_size=5) | st.builds(Tag, tags, inner),
        max_leaves=30,
    )


values = value_strategy(st.integers(-(2**63), 2**64 - 1))  # what dumps writes
any_values = value_strategy(st.integers(-(2**80), 2**80))


def as_decoded(value, in_key=False):
    """What loads gives back for a dumped value: arrays as lists, or tuples in keys."""
    if isinstance(value, (list, tuple)):
        items = [as_decoded(v, in_key) for v in value]
        return tuple(items) if in_key else items
    if isinstance(value, dict):
        return {as_decoded(k, True): as_decoded(v) for k, v in value.items()}
    if isinstance(value, Tag):
        return Tag(value.tag, as_decoded(value.value, in_key))
    return value


@settings(max_examples=1500, deadline=None)
@given(values, st.booleans())
def test_dumps_round_trip(value, indefinite):
    encoded = dumps(value, indefinite=indefinite)
    decoded = loads(encoded)
    assert same(decoded, as_decoded(value))
    assert dumps(decoded, indefinite=indefinite) == encoded
    # Every shorter input is truncated, a longer one has trailing bytes.
    cut = random.Random(encoded).randrange(len(encoded))
    with pytest.raises(CBORDecodeError, match="truncated input"):
        loads(encoded[:cut])
    with pytest.raises(CBORDecodeError, match=f"trailing bytes after the item, from byte {len(encoded)}$"):
        loads(encoded + b"\x00")


def head(major, argument, rng):
    """A head in a random width that holds the argument (not always the shortest)."""
    widths = [w for w, limit in ((0, 24), (1, 2**8), (2, 2**16), (4, 2**32), (8, 2**64)) if argument < limit]
    width = rng.choice(widths)
    if width == 0:
        return bytes([major << 5 | argument])
    info = {1: 24, 2: 25, 4: 26, 8: 27}[width]
    return bytes([major << 5 | info]) + argument.to_bytes(width, "big")


def encode_any_form(value, rng):
    """Encodes value in one of the forms CBOR allows: long heads, chunked
    strings, indefinite containers, bignums, single and double floats."""
    if value is None or isinstance(value, bool) or value is undefined or isinstance(value, Simple):
        return dumps(value)
    if isinstance(value, int):
        major, argument = (0, value) if value >= 0 else (1, -1 - value)
        if argument < 2**64 and rng.random() < 0.8:
            return head(major, argument, rng)
        magnitude = argument.to_bytes((argument.bit_length() + 7) // 8, "big")
        return bytes([0xC2 + major]) + encode_any_form(magnitude, rng)
    if isinstance(value, float):
        return rng.choice([dumps(value), b"\xfb" + struct.pack(">d", value)])
    if isinstance(value, (bytes, str)):
        major = 2 if isinstance(value, bytes) else 3

        def definite(piece):
            raw = piece if major == 2 else piece.encode()
            return head(major, len(raw), rng) + raw

        if rng.random() < 0.5:
            return definite(value)
        cut = rng.randrange(len(value) + 1)  # a str is cut between characters
        return bytes([major << 5 | 31]) + definite(value[:cut]) + definite(value[cut:]) + b"\xff"
    if isinstance(value, Tag):
        return head(6, value.tag, rng) + encode_any_form(value.value, rng)
    major = 5 if isinstance(value, dict) else 4
    items = [encode_any_form(k, rng) + encode_any_form(v, rng) for k, v in value.items()] if major == 5 else [encode_any_form(v, rng) for v in value]
    body = b"".join(items)
    if rng.random() < 0.5:
        return bytes([major << 5 | 31]) + body + b"\xff"
    return head(major, len(items), rng) + body


@settings(max_examples=1500, deadline=None)
@given(any_values, st.integers(0, 2**32))
def test_every_encoding_form_decodes(value, seed):
    value = as_decoded(value)
    encoded = encode_any_form(value, random.Random(seed))
    assert same(loads(encoded), value)
    assert same(loads_sequence(encoded * 3), [value] * 3)


plain_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=6)
    | st.dictionaries(st.text(max_size=8) | st.integers() | st.tuples(st.integers(), st.text()), inner, max_size=5),
    max_leaves=30,
)


@settings(max_examples=1000, deadline=None)
@given(plain_values, st.booleans())
def test_what_another_encoder_writes(value, canonical):
    """cbor2's encodings (bignums, its own float widths and key orders) decode
    as cbor2 itself decodes them."""
    encoded = cbor2.dumps(value, canonical=canonical)
    assert same(loads(encoded), as_decoded(value))


@settings(max_examples=3000, deadline=None)
@given(st.binary(max_size=64))
def test_any_bytes_give_a_value_or_a_decode_error(data):
    try:
        loads(data, max_depth=8)
    except CBORDecodeError as error:
        assert " at byte " in str(error) or "from byte " in str(error)


@pytest.mark.parametrize(
    "encoded, message",
    [
        ("", "truncated input: an item at byte 0 needs more bytes than remain"),
        ("8301", "truncated input: an item at byte 0"),
        ("9f01", "truncated input: an item at byte 2"),
        ("1a0001", "truncated input: an item at byte 0"),
        ("5b" + "ff" * 8, "truncated input: an item at byte 0"),
        ("9b" + "ff" * 8 + "00", "truncated input: an item at byte 0"),
        ("bb" + "7f" * 8, "truncated input: an item at byte 0"),
        ("5f4101", "truncated input: an item at byte 3"),
        ("c2", "truncated input: an item at byte 1"),
        ("0000", "trailing bytes after the item, from byte 1"),
        ("ff", "break at byte 0 outside an indefinite-length array or map"),
        ("8201ff", "break at byte 2 outside"),
        ("bf01ff", "break at byte 2 outside an indefinite-length array or map (or after a map key)"),
        ("c1ff", "break at byte 1"),
        ("5f6161ff", "initial byte 0x61 at byte 1 is not a definite-length chunk"),
        ("7f5f41ffff", "initial byte 0x5f at byte 1 is not a definite-length chunk"),
        ("62c328", "invalid UTF-8 in a text string at byte 1"),
        ("8261616361ed9f", "invalid UTF-8 in a text string at byte 5"),
        ("7f6161 62c3 ff".replace(" ", ""), "invalid UTF-8 in a text string at byte 4"),
        ("7f61c361bcff", "invalid UTF-8 in a text string at byte 2"),
        ("811c", "reserved additional information in initial byte 0x1c at byte 1"),
        ("fe", "reserved additional information in initial byte 0xfe at byte 0"),
        ("c25c", "reserved additional information in initial byte 0x5c at byte 1"),  # a bignum of a reserved head
        ("3f", "initial byte 0x3f at byte 0 asks for an indefinite length"),
        ("df00", "initial byte 0xdf at byte 0 asks for an indefinite length"),
        ("f81f", "simple value 31 at byte 0 must be written in one byte, not two"),
        ("c36161", "bignum tag 3 at byte 0 must hold a byte string"),
    ],
)
def test_decode_errors(encoded, message):
    with pytest.raises(CBORDecodeError) as error:
        loads(bytes.fromhex(encoded))
    assert str(error.value).startswith(message)
    assert isinstance(error.value, ValueError)


@pytest.mark.parametrize(
    "encoded, max_depth, outcome",
    [
        ("818180", 2, [[[]]]),
        ("81818101", 2, "item at byte 3 is nested deeper than max_depth 2"),
        ("c5c501", 1, "item at byte 2 is nested deeper than max_depth 1"),
        ("c501", 1, Tag(5, 1)),
        ("c24101", 0, 1),
        ("80", 0, []),
        ("8101", 0, "item at byte 1 is nested deeper than max_depth 0"),
        ("81" * 1001 + "01", None, "item at byte 1001 is nested deeper than max_depth 1000"),
        ("81" * 1000 + "01", None, None),
    ],
)
def test_depth_limit(encoded, max_depth, outcome):
    data = bytes.fromhex(encoded)
    call = (lambda: loads(data)) if max_depth is None else (lambda: loads(data, max_depth=max_depth))
    if isinstance(outcome, str):
        with pytest.raises(CBORDecodeError, match=f"^{outcome}$"):
            call()
    elif outcome is not None:
        assert same(call(), outcome)
    else:
        call()


@pytest.mark.parametrize(
    "encoded, outcome",
    [
        ("a1820102f6", {(1, 2): None}),
        ("a19f01820203fff6", {(1, (2, 3)): None}),
        ("a1c5820102f6", {Tag(5, (1, 2)): None}),
        ("a2616101616102", {"a": 2}),
        ("a1a0f6", "unhashable map key of type dict at byte 1"),
        ("bf01f6c581a0f6ff", "unhashable map key of type tovarel_core.cbor.Tag at byte 3"),
    ],
)
def test_map_keys(encoded, outcome):
    if isinstance(outcome, str):
        with pytest.raises(CBORDecodeError, match=f"^{outcome}$"):
            loads(bytes.fromhex(encoded))
    else:
        assert same(loads(bytes.fromhex(encoded)), outcome)


def test_sequences_and_inputs():
    old, new = b"the quick brown fox " * 20, b"the quick brown cat " * 20
    items = loads_sequence(bytes(delta.diff(old, new)))
    assert items and all(isinstance(i, (int, bytes)) for i in items)
    assert loads_sequence(b"") == []
    with pytest.raises(CBORDecodeError, match="^truncated input: an item at byte 2 "):
        loads_sequence(b"\x01\x02\x18")
    for data in (b"\x82\x01\x02", bytearray(b"\x82\x01\x02"), memoryview(b"\x00\x82\x01\x02")[1:]):
        assert loads(data) == [1, 2]
    with pytest.raises(TypeError):
        loads("\x01")


def test_hostile_input_stays_small():
    """Declared lengths beyond the input cost nothing; deep nesting is refused
    (or, allowed, built without native recursion); nothing goes to stderr."""
    tracemalloc.start()
    for data in (b"\x9b" + b"\xff" * 8, b"\xbb" + b"\x7f" * 8, b"\x5b" + b"\x7f" * 8 + b"x",
                 b"\x9f" * 100000, b"\x81" * 100000, b"\x5f" + b"\x41x" * 10000):
        with pytest.raises(CBORDecodeError):
            loads(data)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert peak < 4 << 20
    deep = loads(b"\x81" * 200000 + b"\x01", max_depth=10**6)
    tags = loads(b"\xc5" * 200000 + b"\x01", max_depth=10**6)
    del deep, tags
    code = ("from tovarel_core import cbor\n"
            "for b in list(range(0xe0, 0xf4)) + [0xf8]:\n"
            "    cbor.loads_sequence(bytes([b, 0x20]) if b == 0xf8 else bytes([b]))\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0 and result.stderr == ""


def test_cbor_only_types():
    assert Tag(5, [1]) == Tag(5, [1]) and Tag(5, 1) != Tag(6, 1) and Tag(5, 1) != Tag(5, 2)
    assert hash(Tag(5, (1, "a"))) == hash(Tag(5, (1, "a"))) and Tag(1, 2) != (1, 2)
    with pytest.raises(TypeError):
        hash(Tag(5, [1]))
    assert (Tag(2**64 - 1, None).tag, Tag(1, "x").value) == (2**64 - 1, "x")
    assert repr(Tag(1, Tag(2, "x"))) == "Tag(1, Tag(2, 'x'))"
    assert repr(Simple(7)) == "Simple(7)" and Simple(7) == Simple(7) != Simple(8)
    assert {Simple(7), Simple(7)} == {Simple(7)} and Simple(7).value == 7
    assert repr(undefined) == "undefined" and type(undefined)() is undefined
    for bad in (lambda: Tag(-1, 0), lambda: Tag(2**64, 0), lambda: Simple(20), lambda: Simple(24),
                lambda: Simple(256)):
        with pytest.raises(ValueError):
            bad()
    with pytest.raises(AttributeError):
        Tag(1, 2).tag = 3
    for value in (Tag(1, [Simple(3), undefined]), Simple(200), undefined):
        assert same(pickle.loads(pickle.dumps(value)), value)
    t = Tag(1, [])
    t.value.append(t)  # a cycle through a list: repr and dumps stop, the collector frees it
    assert repr(t) == "Tag(1, [Tag(1, [...])])"
    with pytest.raises(RecursionError):
        dumps(t)


@pytest.mark.parametrize(
    "value, indefinite, encoded",
    [
        (undefined, True, "f7"),
        (Simple(0), True, "e0"),
        (Simple(19), True, "f3"),
        (Simple(32), True, "f820"),
        (Tag(1, 0), True, "c100"),
        (Tag(24, b"a"), True, "d8184161"),
        (Tag(2**64 - 1, [1]), True, "dbffffffffffffffff9f01ff"),
        ([Tag(0, "x"), Simple(1), undefined], False, "83c06178e1f7"),
        ({Tag(1, (2,)): undefined}, False, "a1c18102f7"),
    ],
)
def test_dumps_writes_cbor_only_values(value, indefinite, encoded):
    assert dumps(value, indefinite=indefinite) == bytes.fromhex(encoded)


def test_dumps_counts_tag_content_as_a_level():
    assert dumps([Tag(1, 2)], max_depth=2) == bytes.fromhex("9fc102ff")
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:1$"):
        dumps([Tag(1, 2)], max_depth=1)
    with pytest.raises(RuntimeError, match="^Unable to cast"):
        dumps(Tag(1, object()))


def outcome(function, data, **options):
    try:
        return "value", function(data, **options)
    except Exception as error:  # the type and message are the outcome
        return type(error), str(error)


def in_order(value):
    """Dicts as lists of their pairs: keys that hold NaN are equal only to
    themselves, and the order of the pairs is part of what is compared."""
    if isinstance(value, dict):
        return ["dict"] + [(in_order(k), in_order(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value)(in_order(v) for v in value)
    return Tag(value.tag, in_order(value.value)) if isinstance(value, Tag) else value


def damaged(encoded, rng):
    """The encoding cut short, with a byte changed, inserted or dropped, or untouched."""
    data = bytearray(encoded)
    at = rng.randrange(len(data) + 1)
    kind = rng.randrange(5)
    if kind == 0:
        return bytes(data[:at])
    if kind == 1 and at < len(data):
        data[at] = rng.choice([0xFF, 0x1F, 0x5F, 0x9F, 0xBF, 0xF8, 0xFC, 0xA0, 0x80, rng.randrange(256)])
    elif kind == 2:
        data[at:at] = bytes([rng.randrange(256)])
    elif kind == 3:
        del data[at : at + 1]
    return bytes(data)


@settings(max_examples=2000, deadline=None)
@given(values, st.integers(0, 2**32), st.integers(0, 6))
def test_direct_path_decodes_as_the_walker(value, seed, max_depth):
    """loads reads definite-length input without the walker; whatever it is
    given, it must return what _loads_plain returns, or raise the same error."""
    rng = random.Random(seed)
    value = as_decoded(value)
    for encoded in (dumps(value, indefinite=False), encode_any_form(value, rng)):
        for data in (encoded, damaged(encoded, rng), damaged(encoded, rng)):
            for options in ({}, {"max_depth": max_depth}):
                ours, plain = outcome(loads, data, **options), outcome(cbor._loads_plain, data, **options)
                assert ours[0] == plain[0]
                assert same(in_order(ours[1]), in_order(plain[1])) if ours[0] == "value" else ours == plain
        if outcome(cbor._loads_plain, encoded)[0] == "value":
            assert same(loads_sequence(encoded * 2), [loads(encoded)] * 2)


def test_sequence_whose_last_item_fails_after_its_last_byte():
    with pytest.raises(CBORDecodeError, match="^unhashable map key of type dict at byte 2$"):
        loads_sequence(bytes.fromhex("01a1a0f6"))


@settings(max_examples=3000, deadline=None)
@given(st.binary(max_size=24) | st.text(max_size=24).map(str.encode), st.integers(0, 2**32))
def test_text_decodes_as_the_interpreter_does(raw, seed):
    """Text is decoded without the interpreter's decoder on the direct path:
    every byte string, a little damaged or not, as a value and as a map key."""
    rng = random.Random(seed)
    if raw and rng.random() < 0.5:
        raw = damaged(raw, rng)
    text = head(3, len(raw), rng) + raw
    for data in (text, b"\x82" + text + text, b"\xa1" + text + b"\xf6"):
        ours, plain = outcome(loads, data), outcome(cbor._loads_plain, data)
        assert ours[0] == plain[0] and same(in_order(ours[1]), in_order(plain[1]))
