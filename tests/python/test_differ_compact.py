"""Differ(method="index", compact=True): its deltas through delta.patch,
their size against the plain index method's, its settings, and damaged
compact deltas, which must raise ValueError and never crash."""

import random
import struct

import pytest

from tovarel_core import cbor, delta
from tovarel_core.delta import Differ, PythonInBuf

from test_differ import edited_pairs
from test_differ_index import reshaped_pairs

SIGNATURE = b"\x01\xd9\x74\x63"


def relocated_builds(seed, count):
    """Code with a 4-byte address every few bytes; the next build inserts
    bytes somewhere and shifts every address past that point."""
    rng = random.Random(seed)
    pairs = []
    for _ in range(count):
        length, at, grown = rng.randrange(100, 20000), rng.randrange(20000), rng.randrange(1, 300)
        old, new = bytearray(), bytearray()
        while len(old) < length:
            code = rng.randbytes(rng.randrange(3, 30))
            address = rng.randrange(1 << 24)
            old += code + struct.pack("<I", address)
            new += code + struct.pack("<I", address + grown if address > at else address)
        new[at:at] = rng.randbytes(grown)
        pairs.append((bytes(old), bytes(new)))
    return pairs


def test_round_trips_and_is_never_larger_than_the_plain_index_delta():
    compact, plain = Differ(method="index", compact=True), Differ(method="index")
    pairs = reshaped_pairs(25, 200) + edited_pairs(26, 100) + relocated_builds(27, 40)
    chosen = 0
    for old, new in pairs:
        raw = bytes(compact.diff(old, new))
        assert bytes(delta.patch(old, raw) if raw != b"\xf6" else old) == new
        assert len(raw) <= len(bytes(plain.diff(old, new)))
        assert raw == bytes(compact.diff(PythonInBuf(old), new))  # deterministic
        chosen += raw[:1] in (b"\x01", b"\x02") and raw[1:4] == SIGNATURE[1:]
    assert chosen > len(pairs) // 4


def test_is_a_cbor_sequence_that_the_plain_reader_refuses():
    old, new = relocated_builds(3, 1)[0]
    raw = bytes(Differ(method="index", compact=True).diff(old, new))
    version, tagged, commands, *streams = cbor.loads_sequence(raw)
    assert (version, tagged.tag, tagged.value) == (1, 29795, len(new))
    assert isinstance(commands, int) and [type(s) for s in streams] == [bytes] * 3
    assert len(raw) * 2 < len(bytes(Differ(method="index").diff(old, new)))


def pointer_tables(seed):
    """Tables of consecutive addresses, all of which move in the next build
    by one amount: their differences repeat."""
    rng = random.Random(seed)
    step, moved = rng.choice([8, 16, 24]), rng.randrange(1, 1 << 16)
    old, new = bytearray(), bytearray()
    for i in range(rng.randrange(3000, 6000)):
        gap = bytes(rng.choice([0, 0, 4, 8]))
        old += struct.pack("<Q", 0x400000 + step * i) + gap
        new += struct.pack("<Q", 0x400000 + step * i + moved) + gap
    return bytes(old), bytes(new)


def test_repeating_differences_are_nested_and_read_back():
    nested = 0
    for seed in range(6):
        old, new = pointer_tables(seed)
        raw = bytes(Differ(method="index", compact=True).diff(old, new))
        version, tagged, commands, control, literals, differences = cbor.loads_sequence(raw)
        assert tagged.value == len(new)
        for kind in (bytes, PythonInBuf):
            assert bytes(delta.patch(kind(old), kind(raw))) == new
        if version == 2:
            nested += 1
            # The nested deltas replaced by the first one's heads alone.
            heads = raw[: len(raw) - len(cbor.dumps(differences, indefinite=False))]
            with pytest.raises(ValueError, match="its difference stream is damaged"):
                delta.patch(old, heads + cbor.dumps(SIGNATURE, indefinite=False))
    assert nested >= 4


def test_damaged_deltas_raise_value_error():
    rng = random.Random(9)
    old, new = relocated_builds(4, 1)[0]
    raw = bytes(Differ(method="index", compact=True).diff(old, new))
    refused = 0
    for _ in range(3000):
        broken = bytearray(raw)
        at = rng.randrange(len(broken))
        kind = rng.randrange(3)
        if kind == 0:
            broken[at] ^= 1 << rng.randrange(8)
        elif kind == 1:
            del broken[at:]
        else:
            broken[at:at] = rng.randbytes(rng.randrange(1, 4))
        try:
            delta.patch(old, bytes(broken))
        except ValueError as error:
            assert "malformed" in str(error)
            refused += 1
    # A few damaged deltas still read (a flipped bit in a literal, a length
    # one more that the last byte's padding can hold): only a checksum
    # could tell those.
    assert refused > 2500


@pytest.mark.parametrize(
    "body, message",
    [
        (b"", "its heads are not those of the compact form"),
        (b"\x00\x00\x40\x40\x41", "its heads are not those of the compact form"),
        (b"\x1b" + b"\xff" * 8 + b"\x00\x40\x40\x40", "it does not rebuild the length it declares"),
        (b"\x01\x00\x40\x40\x40", "it does not rebuild the length it declares"),
        (b"\x00\x18\x40\x41\x00\x40\x40", "its control stream is damaged"),
    ],
)
def test_malformed_heads_name_what_is_wrong(body, message):
    with pytest.raises(ValueError, match=message):
        delta.patch(b"old", SIGNATURE + body)


@pytest.mark.parametrize(
    "settings, error",
    [
        ({"compact": True}, ValueError),
        ({"method": "myers", "compact": True}, ValueError),
        ({"method": "index", "compact": 1}, TypeError),
    ],
)
def test_refuses_settings_it_cannot_honour(settings, error):
    with pytest.raises(error):
        Differ(**settings)


def test_reports_its_settings():
    differ = Differ(method="index", compact=True)
    assert (differ.method, differ.compact) == ("index", True)
    assert repr(differ) == "Differ(method='index', compact=True)"
    assert Differ(method="index").compact is False
