/*
 * The float width found from the bits (cbor_float_width, cbor_float_item)
 * against cbor_write_float, which proves its choice by decoding the
 * candidates: every half pattern, every single exponent with the fraction
 * patterns at the edges of what a half holds, the neighbours of all of them,
 * and ten million random doubles.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "cbor_generator.h"
#include "cbor_test_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t RANDOM_DOUBLES = 1000000; /* the oracle allocates; ASan makes that slow */
#else
constexpr uint64_t RANDOM_DOUBLES = 10000000;
#endif

/* Compares both fast functions with the decoding proof, many values at a
 * time in one generator. */
class Oracle {
public:
    Oracle() : generator(cbor_generator_create()) {}
    ~Oracle() { cbor_generator_free(generator); }
    Oracle(const Oracle &) = delete;
    Oracle &operator=(const Oracle &) = delete;

    /* Returns false (after reporting) at the first disagreement. */
    bool agrees(double value) {
        if (generator->len > (1u << 20)) {
            cbor_generator_free(generator);
            generator = cbor_generator_create();
        }
        uint64_t before = generator->len;
        if (cbor_write_float(generator, value) < 0) {
            ADD_FAILURE() << "cbor_write_float failed";
            return false;
        }
        uint8_t item[9];
        int length = cbor_float_item(value, item);
        std::string want = hex(generator->data + before, generator->len - before);
        std::string got = hex(item, static_cast<uint64_t>(length));
        int width = cbor_float_width(value);
        if (got != want || width != length - 1) {
            ADD_FAILURE() << std::hexfloat << value << " (bits " << std::hex << double_bits(value)
                          << "): proof writes " << want << ", bits give " << got << " width "
                          << std::dec << width;
            return false;
        }
        return true;
    }

    /* The value, its negation and its neighbours one unit in the last
     * place away, where the width changes. */
    bool agrees_around(double value) {
        for (double v :
             {value, std::nextafter(value, HUGE_VAL), std::nextafter(value, -HUGE_VAL)}) {
            if (!agrees(v) || !agrees(-v)) {
                return false;
            }
        }
        return true;
    }

private:
    cbor_generator *generator;
};

TEST(CborFloatWidth, EveryHalfPatternAndItsNeighbours) {
    Oracle oracle;
    for (uint32_t half = 0; half <= 0xFFFF; half++) {
        ASSERT_TRUE(oracle.agrees_around(reference_half(static_cast<uint16_t>(half))))
            << std::hex << half;
    }
}

/* Fraction patterns at the edges: the 13 bits a half drops clear or not,
 * the top bits set or clear. */
TEST(CborFloatWidth, EverySingleExponentWithEdgeFractions) {
    const uint32_t fractions[] = {0,        1,        0x1000,   0x1FFF,   0x2000,
                                  0x2001,   0x3FE000, 0x3FFFFF, 0x400000, 0x402000,
                                  0x7FE000, 0x7FFFFE, 0x7FFFFF, 0x555555, 0x2AA000};
    Oracle oracle;
    for (uint32_t exponent = 0; exponent <= 0xFF; exponent++) {
        for (uint32_t fraction : fractions) {
            uint32_t bits = exponent << 23 | fraction;
            float single;
            memcpy(&single, &bits, sizeof single);
            ASSERT_TRUE(oracle.agrees_around(single)) << exponent << " " << fraction;
        }
    }
}

TEST(CborFloatWidth, RandomDoubles) {
    std::mt19937_64 random(20261208);
    Oracle oracle;
    for (uint64_t round = 0; round < RANDOM_DOUBLES; round++) {
        ASSERT_TRUE(oracle.agrees(random_double(random, round))) << "round " << round;
    }
}

} // namespace
