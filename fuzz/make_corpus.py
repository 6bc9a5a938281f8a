#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz harnesses into fuzz/corpus/.

Each seed is a hand-picked input that reaches one interesting path quickly
(a copy pair, an indefinite string, a cut-short head, a history that wraps
round); the fuzzer finds the rest.  Run it again after changing a harness's
input layout:  python3 fuzz/make_corpus.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(value):
    return struct.pack("<H", value)


def u64(value):
    return struct.pack("<Q", value & 0xFFFFFFFFFFFFFFFF)


def f64(value):
    return struct.pack("<d", value)


CBOR_DOCUMENTS = {
    "ints": bytes.fromhex("00 17 1818 190100 1a00010000 1b0000000100000000 20 3863"),
    "strings": bytes.fromhex("43616263 63616263 40 60 5818") + bytes(24),
    "indefinite": bytes.fromhex("5f 4161 4162 ff 9f 01 02 ff bf 6161 01 ff"),
    "floats": bytes.fromhex("f93c00 f97c00 f97e00 fa47c35000 fb3ff199999999999a"),
    "tags_simple": bytes.fromhex("c11a514b67b0 d82060 f4 f5 f6 f7 e0 f8 20 1c fc"),
    "cut_short": bytes.fromhex("5b ffffffffffffffff"),
}

# The walker's seeds: a depth limit byte, then a CBOR sequence.
WALKER_SEEDS = {
    "scalars": bytes.fromhex("10 00 17 1818 3bffffffffffffffff f93c00 fa47c35000 fb3ff199999999999a f4 f7 f0 f8ff"),
    "strings": bytes.fromhex("10 40 6161 62c3bc 64f0908591 5f42010243030405ff 7f657374726561646d696e67ff"),
    "containers": bytes.fromhex("10 83010203 a26161016162820203 9f018202039f0405ffff bf6346756ef563416d7421ff"),
    "tags": bytes.fromhex("10 c249010000000000000000 c35f4101ff c11a514b67b0 d82076687474703a2f2f"),
    "keys": bytes.fromhex("10 a1820102f6 bf9f01ff c18101 ff"),
    "deep": bytes([3]) + bytes.fromhex("81818181 01"),
    "refused": bytes.fromhex("10 62c328 1c 3f f81f 5f6161ff c36161 9b ffffffffffffffff"),
}

# The deterministic checker's seeds: items in both orders, then each rule
# broken once.
DETERMINISTIC_SEEDS = {
    "core": bytes.fromhex("10 a2616101616202 a21864f620f6 d9010283010203 f93c00 fa47c35000"
                          " c249010000000000000000 c1fb41d4def8a0c00000"),
    "length_first": bytes.fromhex("10 a220f61864f6 d901028301201864 a2a0f680f6"),
    "broken": bytes.fromhex("10 1817 9f01ff fb3ff8000000000000 c2480000000000000001"
                            " a2616201616101 a2616101616102 d90102820201 d90102820101"),
}


def crc64(data):
    """CRC-64/XZ, one bit at a time."""
    reg = (1 << 64) - 1
    for byte in data:
        for bit in range(8):
            out = (reg ^ (byte >> bit)) & 1
            reg = (reg >> 1) ^ (0xC96C5795D7870F42 if out else 0)
    return reg ^ ((1 << 64) - 1)


def negative(argument):
    """The head of the negative integer -1 - argument, in its shortest form."""
    for width, info in ((0, None), (1, 24), (2, 25), (4, 26), (8, 27)):
        if (width == 0 and argument < 24) or (width and argument < 1 << (8 * width)):
            head = bytes([0x20 | (argument if width == 0 else info)])
            return head + (argument.to_bytes(width, "big") if width else b"")
    raise ValueError(argument)


def check_of(old, new):
    """The check items a checked delta from old to new begins with."""
    fields = (len(old), crc64(old), len(new), crc64(new))
    return bytes.fromhex("da7476636b 84") + b"".join(negative(field) for field in fields)


OLD = b"abcdefgh"
DELTA_SEEDS = {
    "worked_example": u16(len(OLD)) + OLD + bytes.fromhex("0003 425859 0503"),
    "lone_offset": u16(len(OLD)) + OLD + bytes.fromhex("00"),
    "out_of_range": u16(len(OLD)) + OLD + bytes.fromhex("07 05 1a7fffffff 1b ffffffffffffffff"),
    "indefinite": u16(len(OLD)) + OLD + bytes.fromhex("5f 4161 7f 6162 ff 82 4161 4162"),
    "reserved": u16(len(OLD)) + OLD + bytes.fromhex("1c1c 5c 7c f6"),
    "no_change": u16(len(OLD)) + OLD + bytes.fromhex("f6"),
    "cut_short": u16(len(OLD)) + OLD + bytes.fromhex("0002 1a00"),
    "checked": u16(len(OLD)) + OLD + check_of(OLD, b"abcXYfgh") + bytes.fromhex("0003 425859 0503"),
    "checked_no_change": u16(len(OLD)) + OLD + check_of(OLD, OLD) + bytes.fromhex("f6"),
    "checked_wrong_old": u16(len(OLD)) + OLD + check_of(b"abcdefgH", b"abc") + bytes.fromhex("0003"),
    "check_damaged": u16(len(OLD)) + OLD + bytes.fromhex("da7476636b 83 20 20 20 0003"),
}

# The CRC's seeds: a split point (2 bytes), an alignment byte, the message.
CRC_SEEDS = {
    "check_value": u16(4) + bytes([0]) + b"123456789",
    "one_fold_step": u16(100) + bytes([3]) + bytes(range(200)),
    "wide_steps": u16(700) + bytes([17]) + bytes(i * 7 % 256 for i in range(1500)),
}


def roundtrip_seed(utilisation, flags, cost, storage, old, new):
    return (bytes([utilisation, flags]) + u16(cost) + u16(storage) + u16(len(old)) + old + new)


HUNDRED = bytes(range(100))
ROUNDTRIP_SEEDS = {
    "equal": roundtrip_seed(0, 1, 0x8000, 0x8000, b"abc", b"abc"),
    "one_byte_changed": roundtrip_seed(
        0, 0, 0x8000, 0x8000, HUNDRED, HUNDRED[:50] + b"\xff" + HUNDRED[51:]),
    "reversed_level3": roundtrip_seed(210, 0, 100, 0x8000, b"abcd", b"dcba"),
    "prefix_only_level4": roundtrip_seed(250, 0, 100, 0x8000, b"hello world", b"hello there"),
    "tiny_storage": roundtrip_seed(0, 1, 50, 8, b"abcdefghij" * 4, b"abcXefghij" * 4),
    "empty_new": roundtrip_seed(130, 0, 20, 0x8000, b"xyz", b""),
    # Flag bit 1: the tail is an edit script (kind, position, count, byte).
    "edited_level0": roundtrip_seed(
        0, 2, 0x8000, 0x8000, bytes(range(200)), bytes([0, 60, 5, 0x41, 1, 128, 9, 0, 2, 200, 3, 7])),
    "edited_bail_out": roundtrip_seed(
        0, 3, 40, 0x8000, b"the quick brown fox " * 10, bytes([2, 10, 40, 1, 0, 90, 30, 0x7A])),
}

def index_seed(flags, allowance, old, tail):
    return bytes([flags, allowance]) + u16(len(old)) + old + tail


# Flag bit 0: the tail is operations (kind, position, count, byte), kinds 0
# to 4 insert, erase, overwrite, move and repeat; bit 1: 4-letter alphabet;
# bit 2: the old value repeated 64 times.
TEXT = b"the quick brown fox jumps over the lazy dog; " * 6
INDEX_SEEDS = {
    "moved_block": index_seed(1, 0, TEXT, bytes([3, 20, 60, 200])),
    "repeated_block": index_seed(1, 0, TEXT, bytes([4, 100, 50, 10, 4, 30, 63, 250])),
    "edits": index_seed(1, 0, bytes(range(200)), bytes([0, 60, 5, 0x41, 1, 128, 9, 0, 2, 200, 3, 7])),
    "small_alphabet": index_seed(3, 0, bytes(range(256)) * 2, bytes([3, 10, 40, 128, 2, 90, 5, 1])),
    "sampled_repeats": index_seed(5, 0, b"0123456789abcdefghij" * 3, bytes([1, 128, 30, 0, 3, 5, 40, 240])),
    "tiny_allowance": index_seed(1, 1, TEXT, bytes([3, 0, 63, 128, 0, 200, 20, 0])),
    "unrelated": index_seed(0, 0, b"abcdefghijklmnop", bytes(range(100, 140))),
    "tiny": index_seed(0, 0, b"abcdefg", b"abcdefgh"),
    "empty_old": index_seed(0, 0, b"", b"xyz"),
    "runs": index_seed(1, 0, bytes(100) + b"x" + bytes(300), bytes([4, 10, 63, 200, 0, 150, 40, 0])),
}

# fuzz_compact_apply: mode, a, b (16 bits each), tail.  Mode bit 0 set: the
# tail splits at a into old and new values whose compact delta is damaged
# at b (bits 2-3: flip, cut, insert, replace); clear: old value = the first
# a bytes, delta = the rest, after the signature when bit 1 is set.
CODE = b"".join(bytes([0x48, 0x8B, 0x05]) + struct.pack("<I", 4096 + 40 * i) + b"\x90" * (i % 5) for i in range(40))
CODE_MOVED = b"".join(bytes([0x48, 0x8B, 0x05]) + struct.pack("<I", 4200 + 40 * i) + b"\x90" * (i % 5) for i in range(40))

# Long enough, and irregular enough, that its differences are written as a
# nested delta (version 2).
CODE_LONG = b"".join(bytes([0xE8]) + struct.pack("<I", 9000 + 24 * i) + b"\x90" * (i * 7 % 11) for i in range(700))
CODE_LONG_MOVED = b"".join(bytes([0xE8]) + struct.pack("<I", 9100 + 24 * i + (i * 13 % 3)) + b"\x90" * (i * 7 % 11) for i in range(700))


def compact_seed(mode, a, b, tail):
    return bytes([mode]) + u16(a) + u16(b) + tail


COMPACT_APPLY_SEEDS = {
    "relocated_flip": compact_seed(1, len(CODE), 30, CODE + CODE_MOVED),
    "relocated_cut": compact_seed(5, len(CODE), 12, CODE + CODE_MOVED),
    "nested_flip": compact_seed(1, len(CODE_LONG), 900, CODE_LONG + CODE_LONG_MOVED),
    "nested_replace": compact_seed(13, len(CODE_LONG), 2000, CODE_LONG + CODE_LONG_MOVED),
    "random_nested": compact_seed(18, 4, 0, b"abcd\x04\x01\x44\x2a\x10\x00\x09\x41\x07\x4c\x01\xd9\x74\x63\x00\x00\x40\x40\x40\x00\x00"),
    "text_insert": compact_seed(9, len(TEXT), 40, TEXT + TEXT[:100] + b"new words" + TEXT[100:]),
    "text_replace": compact_seed(13, len(TEXT), 7, TEXT + TEXT[::-1]),
    "empty_values": compact_seed(1, 0, 0, b""),
    "random_heads": compact_seed(0, 3, 0, b"abc\x01\xd9\x74\x63\x03\x01\x43\x00\x00\x00\x40\x40"),
    "random_streams": compact_seed(2, 4, 0, b"abcd\x04\x01\x44\x2a\x10\x00\x09\x41\x07\x42\x01\x00"),
}

# fuzz_compact_roundtrip: flags (bit 0: relocate the old value), step, shift,
# old length, tail.
COMPACT_ROUNDTRIP_SEEDS = {
    "relocated": bytes([1, 8, 37, len(CODE) % 256]) + CODE[: len(CODE) // 256 * 256 + len(CODE) % 256] + b"inserted",
    "edited_text": bytes([0, 0, 0, 200]) + TEXT[:200] + TEXT[:90] + b"changed" + TEXT[95:200],
    "unrelated": bytes([0, 0, 0, 20]) + bytes(range(20)) + bytes(range(100, 160)),
    "tiny": bytes([0, 0, 0, 1]) + b"ab",
}

# fuzz_huffman: alphabet size less one, symbol count (16 bits), stream.
HUFFMAN_SEEDS = {
    "bytes": bytes([255]) + u16(40) + TEXT[:120],
    "small_alphabet": bytes([3]) + u16(64) + bytes([0x04, 0x00, 0x22, 0x12, 0x9C, 0x55, 0xAA, 0xFF] * 4),
    "one_symbol": bytes([0]) + u16(10) + bytes([0x01, 0x02, 0x00, 0x00]),
}

FLOAT_SEEDS = {
    "halves": f64(0.0) + f64(-0.0) + f64(1.5) + f64(65504.0) + f64(2.0 ** -14),
    "singles": f64(65520.0) + f64(100000.0) + f64(2.0 ** -24) + f64(2.0 ** -149),
    "doubles": f64(0.1) + f64(1e300) + f64(3e38),
    "infinities_and_nans": f64(float("inf")) + f64(float("-inf")) + u64(0x7FF0000000000001) + u64(0xFFF8000000000000),
}

ENCODING_SEEDS = {
    "varints": bytes.fromhex("00 ac02 01 ffffffff0f 01 ffffffffffffffffff01 00 ffffffff80"),
    "string": bytes.fromhex("42 03616263 c2 00"),
    "bools": bytes.fromhex("83 00 83 01 83 02 03 02"),
    "float": bytes.fromhex("04 0000803f"),
    "writers": bytes([5]) + u64(300) + b"abc",
}

# Operation bytes: 0x81 start and 0x82 stop at an absolute time; 0, 1 and 2
# start, stop and read the utilisation a signed 16-bit step later.  Width
# byte 0x47 asks for 2^7 = 128 ms buckets.
START_AT, STOP_AT, START, STOP, READ = 0x81, 0x82, 0, 1, 2
T = 1000000 * 128
HISTORY_SEEDS = {
    "worked": bytes([16, 0x47]) + bytes([START_AT]) + u64(T) + bytes([STOP]) + u64(100)
    + bytes([READ]) + u64(0) + bytes([START]) + u64(28) + bytes([READ]) + u64(0),
    "backwards": bytes([16, 0x47]) + bytes([START_AT]) + u64(T) + bytes([STOP_AT]) + u64(T - 5),
    "near_zero": bytes([16, 0x47]) + bytes([START_AT]) + u64(3) + bytes([STOP_AT]) + u64(900)
    + bytes([READ]) + u64(0),
    "near_top": bytes([4, 0x48]) + bytes([START_AT]) + u64(-300) + bytes([STOP]) + u64(500)
    + bytes([READ]) + u64(0),
    "stop_first": bytes([1, 0x48]) + bytes([STOP_AT]) + u64(1 << 30) + bytes([READ]) + u64(0),
    "short_window": bytes([2, 0x42]) + bytes([START_AT]) + u64(T) + bytes([READ]) + u64(0),
}

CORPORA = {
    "fuzz_cbor_parser": CBOR_DOCUMENTS,
    "fuzz_cbor_walker": WALKER_SEEDS,
    "fuzz_cbor_measure": {**WALKER_SEEDS, **DETERMINISTIC_SEEDS},
    "fuzz_cbor_deterministic": {**WALKER_SEEDS, **DETERMINISTIC_SEEDS},
    "fuzz_diff_apply": DELTA_SEEDS,
    "fuzz_roundtrip": ROUNDTRIP_SEEDS,
    "fuzz_index_roundtrip": INDEX_SEEDS,
    "fuzz_cbor_float": FLOAT_SEEDS,
    "fuzz_buf_encoding": ENCODING_SEEDS,
    "fuzz_activity_history": HISTORY_SEEDS,
    "fuzz_crc64": CRC_SEEDS,
    "fuzz_compact_apply": COMPACT_APPLY_SEEDS,
    "fuzz_compact_roundtrip": COMPACT_ROUNDTRIP_SEEDS,
    "fuzz_huffman": HUFFMAN_SEEDS,
}


def main():
    for harness, seeds in CORPORA.items():
        directory = os.path.join(HERE, "corpus", harness)
        os.makedirs(directory, exist_ok=True)
        for name, content in seeds.items():
            with open(os.path.join(directory, name), "wb") as out:
                out.write(content)


if __name__ == "__main__":
    main()
