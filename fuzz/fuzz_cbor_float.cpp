/*
 * fuzz_cbor_float.cpp - writes every 8 input bytes, taken as a double, with
 * cbor_write_float and reads the items back with the parser: each must
 * decode to the same bits (every NaN to the canonical NaN), and each must
 * have the width that the narrowest-exact rule picks, worked out here from
 * the value alone rather than by re-encoding; cbor_float_item, which finds
 * the width from the bits, must give the very same item.
 */
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cbor_generator.h"
#include "cbor_parser.h"
#include "reference_cbor.h"

namespace {

constexpr uint64_t canonical_nan = 0x7FF8000000000000ULL;
constexpr uint32_t low_fraction_bits = 0x1FFF; /* single fraction bits a half lacks */
constexpr double smallest_half_normal = 0x1p-14;
constexpr double largest_half = 65504.0;

uint64_t bits_of(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

/* The initial byte the value must get: half for zeros, infinities, NaNs
 * and half normals; single when rounding to single changes nothing; else
 * double. */
uint8_t expected_width(double value) {
    if (std::isnan(value) || std::isinf(value) || value == 0.0) {
        return 0xF9;
    }
    float single = static_cast<float>(value);
    if (static_cast<double>(single) != value) {
        return 0xFB;
    }
    uint32_t single_bits;
    memcpy(&single_bits, &single, sizeof single_bits);
    double magnitude = std::fabs(value);
    bool half = magnitude >= smallest_half_normal && magnitude <= largest_half &&
                (single_bits & low_fraction_bits) == 0;
    return half ? 0xF9 : 0xFA;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t count = size / sizeof(double);
    cbor_generator *generator = cbor_generator_create();
    REFERENCE_CHECK(generator != nullptr, 0);
    for (size_t i = 0; i < count; i++) {
        double value;
        memcpy(&value, data + i * sizeof value, sizeof value);
        uint64_t before = generator->len;
        REFERENCE_CHECK(cbor_write_float(generator, value) >= 0, i);
        REFERENCE_CHECK(generator->len > before, i);
        /* The width found from the bits writes the very item proven here. */
        uint8_t item[9];
        int length = cbor_float_item(value, item);
        REFERENCE_CHECK(static_cast<uint64_t>(length) == generator->len - before, i);
        REFERENCE_CHECK(memcmp(item, generator->data + before, sizeof item[0] * length) == 0, i);
        REFERENCE_CHECK(cbor_float_width(value) == length - 1, i);
    }

    cbor_parser *parser = cbor_parser_create(generator->data, generator->len);
    REFERENCE_CHECK(parser != nullptr, 0);
    for (size_t i = 0; i < count; i++) {
        double value;
        memcpy(&value, data + i * sizeof value, sizeof value);
        cbor_val *item = cbor_next_val(parser);
        REFERENCE_CHECK(item != nullptr, i);
        REFERENCE_CHECK(item->initial_byte == expected_width(value), i);
        uint64_t want = std::isnan(value) ? canonical_nan : bits_of(value);
        REFERENCE_CHECK(bits_of(item->value.real) == want, i);
        cbor_val_free(item);
    }
    REFERENCE_CHECK(cbor_parser_available_bytes(parser) == 0, count);
    cbor_parser_free(parser);
    cbor_generator_free(generator);
    return 0;
}
