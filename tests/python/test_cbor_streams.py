"""CBOR from files and streams: SequenceDecoder fed in pieces, iter_load
over files read in chunks, load called again and again, and Encoder.dump,
against loads_sequence over the same bytes in memory."""

import io
import os
import random
import socket
import threading

import pytest
from hypothesis import given, settings, strategies as st

from test_cbor_loads import as_decoded, damaged, encode_any_form, in_order, outcome, same, values
from tovarel_core import cbor
from tovarel_core.cbor import CBORDecodeError, Encoder, SequenceDecoder, iter_load, load, loads_sequence


class Trickle(io.RawIOBase):
    """A raw stream that cannot seek and returns at most a few bytes per
    read, as a pipe or a socket may; it counts what it gave."""

    def __init__(self, data, rng):
        self.data, self.rng, self.position = data, rng, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        count = min(len(buffer), self.rng.randint(1, 7), len(self.data) - self.position)
        buffer[:count] = self.data[self.position : self.position + count]
        self.position += count
        return count


def pieces(data, rng):
    if rng.random() < 0.3:
        return [data[i : i + 1] for i in range(len(data))]
    cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(6)))
    return [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]


def fed(data, rng, options):
    decoder, items = SequenceDecoder(**options), []
    try:
        for piece in pieces(data, rng):
            items += decoder.feed(piece)
        decoder.close()
    except CBORDecodeError as error:
        return (type(error), str(error)), items + error.items
    assert decoder.pending == 0 and decoder.position == len(data)
    return ("value", items), items


def iterated(data, rng, options):
    try:
        return "value", list(iter_load(io.BytesIO(data), chunk_size=rng.randint(1, 40), **options))
    except CBORDecodeError as error:
        return type(error), str(error)


def loaded(file, size, options):
    items = []
    try:
        while file.tell() < size:
            items.append(load(file, **options))
    except CBORDecodeError as error:
        return type(error), str(error)
    return "value", items


OPTIONS = [{}, {"max_depth": 2}, {"deterministic": "core"}, {"duplicate_keys": "error"},
           {"tag_hook": lambda tag: ("tag", tag.tag), "object_hook": len}]


@settings(max_examples=600, deadline=None)
@given(st.lists(values, max_size=4), st.integers(0, 2**32), st.sampled_from(OPTIONS))
def test_streams_read_what_loads_sequence_reads(items, seed, options):
    """Every reader, in generated splits and byte by byte, gives the values
    of loads_sequence or its error at the same offset; none loses an item
    that came before a fault."""
    rng = random.Random(seed)
    data = b"".join(encode_any_form(as_decoded(item), rng) for item in items)
    if data and rng.random() < 0.5:
        data = damaged(data, rng)
    expected = outcome(loads_sequence, data, **options)

    def check(got):
        assert got[0] == expected[0]
        assert same(in_order(got[1]), in_order(expected[1])) if got[0] == "value" else got == expected

    result, decoded = fed(data, rng, options)
    check(result)
    check(iterated(data, rng, options))
    file = io.BytesIO(data)
    check(loaded(file, len(data), options))
    if expected[0] != "value":
        # Left where the faulty item begins; what came before it decoded.
        assert same(in_order(loads_sequence(data[: file.tell()], **options)), in_order(decoded))
    # A stream that cannot seek: load reads no byte of the next item.
    trickle, got = Trickle(data, rng), []
    while trickle.position < len(data):
        start = trickle.position
        try:
            got.append(load(trickle, **options))
        except CBORDecodeError as error:
            assert (type(error), str(error)) == outcome(loads_sequence, data[start:], **options)
            break
    else:
        assert same(in_order(got), in_order(expected[1]))


def pipe_pair():
    read, write = os.pipe()
    return os.fdopen(read, "rb", buffering=0), os.fdopen(write, "wb", buffering=0)


def socket_pair():
    a, b = socket.socketpair()
    with a:
        reader = a.makefile("rb")
    writer = b.makefile("wb")
    b.close()  # the makefile objects keep the sockets open until they close
    return reader, writer


RECORDS = [{"id": n, "body": "x" * (n * 997 % 70000), "raw": bytes(n % 300)} for n in range(40)]


@pytest.mark.parametrize("kind", ["bytesio", "file", "raw file", "pipe", "socket"])
def test_every_kind_of_file(kind, tmp_path):
    """Encoder.dump writes records to each kind of binary file; load reads
    them back one by one, leaving the rest for the next reader; iter_load
    reads them all."""
    encoder = Encoder()
    if kind in ("pipe", "socket"):
        reader, writer = pipe_pair() if kind == "pipe" else socket_pair()

        def write_all():
            with writer:
                for record in RECORDS:
                    encoder.dump(record, writer)

        thread = threading.Thread(target=write_all)
        thread.start()
        assert [load(reader) for _ in range(3)] == RECORDS[:3]
        assert list(iter_load(reader, chunk_size=4096)) == RECORDS[3:]
        thread.join()
        reader.close()
        return
    path = tmp_path / "records.cbor"
    file = io.BytesIO() if kind == "bytesio" else open(path, "w+b", buffering=0 if kind == "raw file" else -1)
    with file:
        for record in RECORDS:
            encoder.dump(record, file)
        file.seek(0)
        assert [load(file) for _ in range(5)] == RECORDS[:5]
        assert list(iter_load(file)) == RECORDS[5:]
        file.seek(0)
        assert list(iter_load(file, chunk_size=1)) == RECORDS


def test_misuse_and_partial_writes():
    with pytest.raises(TypeError, match=r"^iter_load\(\) needs a binary file object, but its read\(\) returned str$"):
        next(iter_load(io.StringIO("a")))
    for bad, error in [({"chunk_size": 0}, ValueError), ({"chunk_size": "1"}, TypeError), ({"max_depth": -1}, ValueError),
                       ({"deterministic": "x"}, ValueError), ({"nope": 1}, TypeError)]:
        with pytest.raises(error):
            iter_load(io.BytesIO(), **bad)
        if "chunk_size" not in bad:
            with pytest.raises(error):
                SequenceDecoder(**bad)
            with pytest.raises(error):
                load(io.BytesIO(b"\x01"), **bad)
    with pytest.raises(CBORDecodeError, match="^truncated input: an item at byte 3 needs more bytes than remain$"):
        load(_at_end())
    decoder = SequenceDecoder()
    assert decoder.feed(b"\x82\x01") == [] and decoder.pending == 2
    with pytest.raises(CBORDecodeError, match="^truncated input: an item at byte 0 "):
        decoder.close()
    with pytest.raises(CBORDecodeError, match="^truncated input: an item at byte 0 "):
        decoder.feed(b"\x02")  # a fault stays

    class Slow(io.RawIOBase):
        def __init__(self):
            self.parts = []

        def writable(self):
            return True

        def write(self, data):
            self.parts.append(bytes(data[:3]))
            return len(self.parts[-1])

    slow = Slow()
    Encoder().dump(list(range(30)), slow)
    assert b"".join(slow.parts) == cbor.dumps(list(range(30)), indefinite=False)
    assert len(slow.parts) > 5


def _at_end():
    file = io.BytesIO(b"\x01\x02\x03")
    load(file), load(file), load(file)
    return file


def test_hooks_may_not_reenter_the_reader():
    decoder = SequenceDecoder(tag_hook=lambda tag: decoder.feed(b"\x01"))
    with pytest.raises(RuntimeError, match=r"^SequenceDecoder.feed\(\) was called again while it was decoding$"):
        decoder.feed(b"\xd9\x01\x00\x01")
    assert decoder.pending == 4  # the item is kept, to be decoded again
