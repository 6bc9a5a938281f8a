"""Validating decodes: loads(..., deterministic=m) accepts what
Encoder(deterministic=m) writes and refuses each rule broken once, naming
the rule and its offset; duplicate_keys="error" in any mode; a set's
elements in the keys' order; and the direct path agrees with the walker's
under every option."""

import io
import random

import pytest
from hypothesis import given, settings, strategies as st

from test_cbor_loads import as_decoded, damaged, encode_any_form, in_order, outcome, same, values
from test_cbor_types import values as typed_values
from tovarel_core import cbor
from tovarel_core.cbor import CBORDecodeError, Encoder, SequenceDecoder, loads

MODES = ["core", "length_first"]
NOT = "not deterministic: "


def fed_byte_by_byte(data, **options):
    decoder = SequenceDecoder(**options)
    items = [item for byte in data for item in decoder.feed(bytes([byte]))]
    decoder.close()
    return items


# Every decoding path: direct (falling back to the walker), the walker alone,
# a sequence, a file read in chunks, a stream fed byte by byte.
DECODERS = [
    loads,
    cbor._loads_plain,
    cbor.loads_sequence,
    lambda data, **options: list(cbor.iter_load(io.BytesIO(data), **options)),
    fed_byte_by_byte,
]


@pytest.mark.parametrize(
    "encoded, modes, message",
    [
        ("1817", MODES, NOT + "a head longer than its argument needs at byte 0"),
        ("82011900ff", MODES, NOT + "a head longer than its argument needs at byte 2"),
        ("7a0000000161", MODES, NOT + "a head longer than its argument needs at byte 0"),
        ("9f01ff", MODES, NOT + "an indefinite length at byte 0"),
        ("bf616101ff", MODES, NOT + "an indefinite length at byte 0"),
        ("5f4101ff", MODES, NOT + "an indefinite length at byte 0"),
        ("fb3ff8000000000000", MODES, NOT + "a float that fits a shorter width at byte 0"),
        ("fa7fc00000", MODES, NOT + "a float that fits a shorter width at byte 0"),
        ("c248" + "00" * 7 + "01", MODES, NOT + "a bignum that is not in its shortest form at byte 0"),
        ("c349" + "0001" + "00" * 7, MODES, NOT + "a bignum that is not in its shortest form at byte 0"),
        ("a2616201616101", MODES, "map key at byte 4 is out of {} deterministic order"),
        # 100 before -1: bytewise, 0x18 < 0x20; by length, 1 byte before 2.
        ("a21864f620f6", ["core"], None),
        ("a21864f620f6", ["length_first"], "map key at byte 4 is out of length_first deterministic order"),
        ("a2616101616102", MODES, "duplicate map key at byte 4"),
        ("d90102820201", MODES, "set element at byte 5 is out of {} deterministic order"),
        ("d90102820101", MODES, "duplicate set element at byte 5"),
        ("d9010282186420", ["core"], None),
        ("d9010282186420", ["length_first"], "set element at byte 6 is out of length_first deterministic order"),
        # Distinct encodings of elements equal in Python (1 and 1.0, 0 and
        # false, in a map key too): the set would hold one element less.
        ("d901028201f93c00", MODES + ["error"], "duplicate set element at byte 5"),
        ("d901028200f4", MODES + ["error"], "duplicate set element at byte 5"),
        ("a1d901028201f93c00f6", MODES + ["error"], "duplicate set element at byte 6"),
        # The same for map keys: {1: "a", 1.0: "b"} would keep one entry.
        ("a2016161f93c006162", MODES + ["error"], "duplicate map key at byte 4"),
        # An element that will not hash is reported as in every mode.
        ("d9010283a001f93c00", ["error"], "tag 258 at byte 0 must hold an array of hashable elements"),
    ],
)
def test_each_rule_broken_once(encoded, modes, message):
    data = bytes.fromhex(encoded)
    if "error" not in modes:
        loads(data)  # well-formed: only the mode refuses it
    for mode in modes:
        options = {"duplicate_keys": "error"} if mode == "error" else {"deterministic": mode}
        for decode in DECODERS:
            if message is None:
                decode(data, **options)
                continue
            with pytest.raises(CBORDecodeError, match="^" + message.format(mode) + "$"):
                decode(data, **options)


def test_duplicate_keys():
    data = bytes.fromhex("a3616101616202616103")
    assert loads(data) == {"a": 3, "b": 2}
    assert loads(data, duplicate_keys="last") == {"a": 3, "b": 2}
    for decode in (loads, cbor._loads_plain, cbor.loads_sequence):
        with pytest.raises(CBORDecodeError, match="^duplicate map key at byte 7$"):
            decode(data, duplicate_keys="error")
    # Keys equal in Python though not in bytes: 1 and 1.0.
    with pytest.raises(CBORDecodeError, match="^duplicate map key at byte 3$"):
        loads(bytes.fromhex("a201f6f93c00f6"), duplicate_keys="error")
    for bad in ({"deterministic": "canonical"}, {"duplicate_keys": "first"}, {"deterministic": 1}):
        with pytest.raises(ValueError):
            loads(data, **bad)


@settings(max_examples=300, deadline=None)
@given(typed_values(), st.sampled_from(MODES))
def test_deterministic_encodings_pass(value, mode):
    encoded = Encoder(deterministic=mode).encode(value)
    assert same(loads(encoded, deterministic=mode, duplicate_keys="error"), loads(encoded))
    assert cbor.loads_sequence(encoded * 2, deterministic=mode) == [loads(encoded)] * 2


@settings(max_examples=1000, deadline=None)
@given(values, st.integers(0, 2**32), st.sampled_from(MODES))
def test_direct_path_validates_as_the_walker(value, seed, mode):
    """Every form and damage of an encoding: the same value or the same
    error from both paths, with each validating option."""
    rng = random.Random(seed)
    value = as_decoded(value)
    for encoded in (cbor.dumps(value, indefinite=False), encode_any_form(value, rng)):
        for data in (encoded, damaged(encoded, rng)):
            for options in ({"deterministic": mode}, {"duplicate_keys": "error"}):
                ours = outcome(loads, data, **options)
                plain = outcome(cbor._loads_plain, data, **options)
                assert ours[0] == plain[0]
                assert same(in_order(ours[1]), in_order(plain[1])) if ours[0] == "value" else ours == plain


set_elements = st.one_of(
    st.integers(-(2**70), 2**70),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.floats(allow_nan=False),
    st.tuples(st.integers(-300, 300), st.text(max_size=2)),
)


def array_head(count):
    return bytes([0x80 | count]) if count < 24 else bytes([0x98, count])


@settings(max_examples=500, deadline=None)
@given(st.frozensets(set_elements, min_size=2, max_size=30), st.sampled_from(MODES), st.data())
def test_set_order(elements, mode, data):
    """A set as the Encoder writes it passes; the same set with two elements
    swapped, or one written twice, is refused at the element that breaks
    the order, by every decoding path, inside a sequence too."""
    encoder = Encoder(deterministic=mode)
    encoded = [encoder.encode(element) for element in elements]
    encoded.sort(key=(lambda b: b) if mode == "core" else (lambda b: (len(b), b)))
    prefix = bytes.fromhex("d90102")
    assert encoder.encode(elements) == prefix + array_head(len(encoded)) + b"".join(encoded)
    i = data.draw(st.integers(0, len(encoded) - 2))
    if data.draw(st.booleans()):
        broken = encoded[:i] + [encoded[i + 1], encoded[i]] + encoded[i + 2 :]
        message = "set element at byte {} is out of %s deterministic order" % mode
    else:
        broken = encoded[: i + 1] + [encoded[i]] + encoded[i + 1 :]
        message = "duplicate set element at byte {}"
    head = prefix + array_head(len(broken))
    where = len(head) + sum(map(len, broken[: i + 1]))
    data_bytes = head + b"".join(broken)
    for decode in (loads, cbor._loads_plain):
        assert decode(prefix + array_head(len(encoded)) + b"".join(encoded), deterministic=mode) == elements
        assert decode(data_bytes) == elements
        with pytest.raises(CBORDecodeError, match="^" + message.format(where) + "$"):
            decode(data_bytes, deterministic=mode)
    # After one item of a byte, and in a decoder fed byte by byte.
    with pytest.raises(CBORDecodeError, match="^" + message.format(where + 1) + "$"):
        cbor.loads_sequence(b"\x00" + data_bytes, deterministic=mode)
    with pytest.raises(CBORDecodeError, match="^" + message.format(where + 1) + "$"):
        decoder = SequenceDecoder(deterministic=mode)
        for byte in b"\x00" + data_bytes:
            decoder.feed(bytes([byte]))
