/*
 * fuzz_crc64.cpp - every path of crc64 against the bit-at-a-time
 * definition, on the input whole and continued from a split point.
 *
 * Input layout: two bytes (little-endian) choose the split point (modulo
 * the length of the rest) and one more the starting alignment of the
 * rest; the rest is the message, copied to a heap block of exactly its
 * size so that a read past its end is caught.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crc64.h"
#include "reference_cbor.h"
#include "reference_crc64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    size_t length = size - 3;
    size_t split = length == 0 ? 0 : (data[0] | data[1] << 8) % (length + 1);
    size_t shift = data[2] % 64;
    /* The message at an offset of `shift` bytes into its block, which ends
     * where the message ends. */
    uint8_t *block = static_cast<uint8_t *>(malloc(shift + length == 0 ? 1 : shift + length));
    if (block == nullptr) {
        return 0;
    }
    uint8_t *message = block + shift;
    memcpy(message, data + 3, length);
    uint64_t want = reference::crc64(message, length);
    for (int32_t path = 0; path < CRC64_PATHS; path++) {
        if (!_crc64_force_path(path)) {
            continue;
        }
        REFERENCE_CHECK(crc64(message, length) == want, static_cast<size_t>(path));
        uint64_t head = crc64(message, split);
        REFERENCE_CHECK(crc64_continue(head, message + split, length - split) == want, split);
    }
    _crc64_force_path(CRC64_PATH_AUTO);
    free(block);
    return 0;
}
