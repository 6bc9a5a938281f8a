/*
 * fuzz_index_roundtrip.cpp - generates a delta with the index method
 * between two values made from the input and checks everything a caller
 * may rely on (delta_checks.h), and that a second run gives the same bytes.
 *
 * Header (4 bytes): flags, index allowance, length of the old value
 * (2 bytes).  Flags: bit 0, the tail is a script of operations on the old
 * value (insert, erase, overwrite, move a block, repeat a block; 4 bytes
 * each) rather than the new value itself; bit 1, both values are folded
 * onto a 4-letter alphabet; bit 2, the old value is repeated to 64 times
 * its length, so that the index samples it; the bits above pick the level
 * (their value modulo 5).  An allowance byte a > 0 caps
 * the index at 16 * a bytes, which samples even small values; 0 is the
 * default allowance.
 */
#include <cstdint>
#include <cstring>
#include <vector>

#include "buf.h"
#include "delta_checks.h"
#include "diff_index.h"

namespace {

constexpr size_t header_size = 4;
constexpr size_t repeats = 64;
constexpr uint64_t allowance_unit = 16;

using bytes = std::vector<uint8_t>;

/* Operations of 4 bytes (kind, position, count, byte) on the old value. */
bytes operate(const bytes &old_value, const uint8_t *script, size_t script_length) {
    constexpr size_t group = 4;
    bytes value = old_value;
    for (size_t at = 0; at + group <= script_length; at += group) {
        size_t position = script[at + 1] * (value.size() + 1) / 256;
        size_t count = script[at + 2] % 64 < value.size() - position ? script[at + 2] % 64
                                                                     : value.size() - position;
        uint8_t byte = script[at + 3];
        bytes block(value.begin() + position, value.begin() + position + count);
        size_t target = byte * (value.size() + 1) / 256;
        switch (script[at] % 5) {
        case 0:
            value.insert(value.begin() + position, script[at + 2] % 64, byte);
            break;
        case 1:
            value.erase(value.begin() + position, value.begin() + position + count);
            break;
        case 2:
            for (size_t i = position; i < position + count; i++) {
                value[i] = static_cast<uint8_t>(byte + i);
            }
            break;
        case 3: /* move: cut the block, then insert it at the target */
            value.erase(value.begin() + position, value.begin() + position + count);
            target = target < value.size() ? target : value.size();
            value.insert(value.begin() + target, block.begin(), block.end());
            break;
        default: /* repeat: a copy of the block at the target */
            value.insert(value.begin() + target, block.begin(), block.end());
        }
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < header_size) {
        return 0;
    }
    uint8_t flags = data[0];
    uint64_t allowance = data[1] * allowance_unit;
    size_t rest = size - header_size;
    size_t old_length = (data[2] | (data[3] << 8)) % (rest + 1);
    const uint8_t *tail = data + header_size + old_length;
    size_t tail_length = rest - old_length;

    bytes old_bytes(data + header_size, tail);
    if (flags & 4) {
        bytes one = old_bytes;
        for (size_t i = 1; i < repeats; i++) {
            old_bytes.insert(old_bytes.end(), one.begin(), one.end());
        }
    }
    bytes new_bytes =
        (flags & 1) ? operate(old_bytes, tail, tail_length) : bytes(tail, tail + tail_length);
    if (flags & 2) {
        for (uint8_t &b : old_bytes) {
            b = static_cast<uint8_t>('a' + (b & 3));
        }
        for (uint8_t &b : new_bytes) {
            b = static_cast<uint8_t>('a' + (b & 3));
        }
    }

    buf old_value{delta_checks::exact_copy(old_bytes.data(), old_bytes.size()), old_bytes.size(),
                  old_bytes.size()};
    buf new_value{delta_checks::exact_copy(new_bytes.data(), new_bytes.size()), new_bytes.size(),
                  new_bytes.size()};
    diff_index_options options{allowance, (flags >> 3) % (DIFF_INDEX_MAX_LEVEL + 1), 1};
    buf *delta = diff_index_generate_binary_with_options(&old_value, &new_value, &options);
    REFERENCE_CHECK(delta != nullptr, 0);
    delta_checks::check_delta(old_value, new_value, *delta);
    /* The second run checks every candidate in full: the same bytes. */
    _diff_index_force_plain(true);
    buf *again = diff_index_generate_binary_with_options(&old_value, &new_value, &options);
    _diff_index_force_plain(false);
    REFERENCE_CHECK(again != nullptr && again->len == delta->len &&
                        memcmp(again->data, delta->data, delta->len) == 0,
                    0);
    buf_free(again);
    buf_free(delta);
    free(old_value.data);
    free(new_value.data);
    return 0;
}
