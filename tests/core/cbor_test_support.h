/*
 * cbor_test_support.h - helpers shared by the CBOR and delta tests.
 *
 * HeapBytes puts test input in a heap block of exactly its size, so that
 * AddressSanitizer reports a read of even one byte past the end.
 */
#ifndef TOVAREL_CBOR_TEST_SUPPORT_H
#define TOVAREL_CBOR_TEST_SUPPORT_H

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class HeapBytes {
public:
    explicit HeapBytes(const Bytes &bytes)
        : data_(static_cast<uint8_t *>(malloc(bytes.empty() ? 1 : bytes.size()))),
          size_(bytes.size()) {
        if (size_ > 0) {
            memcpy(data_, bytes.data(), size_);
        }
    }
    HeapBytes(const HeapBytes &) = delete;
    HeapBytes &operator=(const HeapBytes &) = delete;
    ~HeapBytes() { free(data_); }

    /* Null for empty input: no byte at all may be read then. */
    const uint8_t *data() const { return size_ > 0 ? data_ : nullptr; }
    uint64_t size() const { return size_; }

private:
    uint8_t *data_;
    uint64_t size_;
};

inline std::string hex(const uint8_t *data, uint64_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint64_t i = 0; i < size; i++) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
    }
    return text;
}

inline std::string hex(const Bytes &bytes) {
    return hex(bytes.data(), bytes.size());
}

inline uint64_t double_bits(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline double bits_double(uint64_t bits) {
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

/*
 * A half-precision decoder written differently from the parser's: normal
 * values are assembled as double bit fields, subnormals are a fraction
 * divided by 2^24.  NaNs come back as the quiet NaN with the half's sign.
 */
inline double reference_half(uint16_t half) {
    uint64_t sign = static_cast<uint64_t>(half >> 15) << 63;
    unsigned exponent = (half >> 10) & 0x1F;
    uint64_t fraction = half & 0x3FF;
    if (exponent == 0) {
        double magnitude = static_cast<double>(fraction) / 16777216.0;
        return bits_double(double_bits(magnitude) | sign);
    }
    if (exponent == 0x1F) {
        return bits_double(sign | (fraction == 0 ? 0x7FF0000000000000ULL : 0x7FF8000000000000ULL));
    }
    uint64_t biased = exponent - 15 + 1023;
    return bits_double(sign | biased << 52 | fraction << 42);
}

/*
 * A random double of one of four kinds: an arbitrary bit pattern (mostly
 * beyond single range, NaNs and infinities among them), a widened single,
 * a short dyadic fraction that often fits a half, or a half that may be
 * nudged by one unit in the last place.
 */
inline double random_double(std::mt19937_64 &random, uint64_t kind) {
    switch (kind % 4) {
    case 0:
        return bits_double(random());
    case 1: {
        auto bits = static_cast<uint32_t>(random());
        float single;
        memcpy(&single, &bits, sizeof single);
        return single;
    }
    case 2:
        return ldexp(static_cast<double>(static_cast<int64_t>(random() % 8193) - 4096),
                     static_cast<int>(random() % 64) - 40);
    default: {
        double half = reference_half(static_cast<uint16_t>(random()));
        return random() & 1 ? std::nextafter(half, HUGE_VAL) : half;
    }
    }
}

#endif /* TOVAREL_CBOR_TEST_SUPPORT_H */
