/*
 * fuzz_huffman.cpp - the Huffman coder's two decoders on arbitrary bytes
 * must agree symbol for symbol or refuse together, and any symbols encoded
 * must decode back through both.
 *
 * Header (3 bytes): the alphabet's size less one, and a count of symbols
 * (16 bits).  The rest is read as a coded stream of that many symbols, and
 * is also encoded itself, each byte folded into the alphabet.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "huffman.h"

namespace {

constexpr size_t header_size = 3;

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "oracle: %s\n", what);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < header_size) {
        return 0;
    }
    uint32_t alphabet = 1u + data[0];
    size_t count = (data[1] | (data[2] << 8)) % (8 * size + 1);
    const uint8_t *stream = data + header_size;
    size_t length = size - header_size;

    std::vector<uint16_t> table(count), scalar(count);
    bool a = huffman_decode(stream, length, alphabet, table.data(), count);
    bool b = huffman_decode_scalar(stream, length, alphabet, scalar.data(), count);
    if (a != b || (a && table != scalar)) {
        fail("the table decoder and the scalar decoder disagree");
    }

    std::vector<uint16_t> symbols(length);
    for (size_t i = 0; i < length; i++) {
        symbols[i] = static_cast<uint16_t>(stream[i] % alphabet);
    }
    buf *coded = huffman_encode(symbols.data(), symbols.size(), alphabet);
    if (coded == nullptr) {
        fail("no stream for valid symbols");
    }
    std::vector<uint16_t> back(length), back_scalar(length);
    if (!huffman_decode(coded->data, coded->len, alphabet, back.data(), length) ||
        !huffman_decode_scalar(coded->data, coded->len, alphabet, back_scalar.data(), length) ||
        back != symbols || back_scalar != symbols) {
        fail("encoded symbols do not decode back");
    }
    buf_free(coded);
    return 0;
}
