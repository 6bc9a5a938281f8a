/*
 * Tests of the CBOR writers: byte-exact heads at every width boundary,
 * strings and containers, the indefinite marker, and the choice of float
 * width, checked over every half-precision pattern and millions of random
 * values against a decoder and a width rule written independently here.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "cbor_generator.h"
#include "cbor_test_support.h"

namespace {

/* Runs one writer on a fresh generator and returns its bytes as hex. */
std::string written(const std::function<int(cbor_generator *)> &write, int expected_result = 0) {
    cbor_generator *generator = cbor_generator_create();
    EXPECT_EQ(write(generator), expected_result);
    std::string bytes = hex(generator->data, generator->len);
    cbor_generator_free(generator);
    return bytes;
}

std::string float_written(double value) {
    return written([value](cbor_generator *g) { return cbor_write_float(g, value); },
                   std::isfinite(value) ? 1 : 0);
}

struct UintCase {
    uint64_t value;
    const char *bytes;
};

TEST(CborGenerator, UnsignedHeadsAtEveryWidthBoundary) {
    const UintCase cases[] = {
        {0, "00"},
        {23, "17"},
        {24, "1818"},
        {255, "18ff"},
        {256, "190100"},
        {65535, "19ffff"},
        {65536, "1a00010000"},
        {4294967295, "1affffffff"},
        {4294967296, "1b0000000100000000"},
        {UINT64_MAX, "1bffffffffffffffff"},
    };
    for (const UintCase &test : cases) {
        EXPECT_EQ(written([&](cbor_generator *g) { return cbor_write_uint(g, test.value); }),
                  test.bytes)
            << test.value;
    }
}

TEST(CborGenerator, NegativeIntegers) {
    const struct {
        int64_t value;
        const char *bytes;
    } cases[] = {
        {-1, "20"},
        {-24, "37"},
        {-25, "3818"},
        {-256, "38ff"},
        {-257, "390100"},
        {-65537, "3a00010000"},
        {-4294967297, "3b0000000100000000"},
        {INT64_MIN, "3b7fffffffffffffff"},
    };
    for (const auto &test : cases) {
        auto bits = static_cast<uint64_t>(test.value);
        EXPECT_EQ(written([&](cbor_generator *g) { return cbor_write_negint(g, bits); }),
                  test.bytes)
            << test.value;
    }
}

/* The sized writer takes the initial byte as given: a sized additional
 * information selects the width, anything else is ORed with the argument. */
TEST(CborGenerator, SizedHeadsTakeTheirWidthFromTheInitialByte) {
    const struct {
        uint8_t initial;
        uint64_t argument;
        const char *bytes;
    } cases[] = {
        {0x18, 0x1234, "1834"},          {0x59, 0x1, "590001"}, {0x9A, 0x1122334455, "9a22334455"},
        {0xDB, 1, "db0000000000000001"}, {0x40, 0x1F5, "f5"},   {0x07, 0, "07"},
    };
    for (const auto &test : cases) {
        EXPECT_EQ(written([&](cbor_generator *g) {
                      return _cbor_write_uint_sized(g, test.initial, test.argument);
                  }),
                  test.bytes);
    }
}

TEST(CborGenerator, HeadsOfEveryMajorType) {
    const struct {
        uint8_t major_type;
        uint64_t argument;
        const char *bytes;
    } cases[] = {
        {0, 500, "1901f4"},       {1, 0, "20"}, {2, 24, "5818"},      {3, 23, "77"},
        {4, 65536, "9a00010000"}, {5, 1, "a1"}, {6, 55799, "d9d9f7"}, {7, 20, "f4"},
    };
    for (const auto &test : cases) {
        EXPECT_EQ(written([&](cbor_generator *g) {
                      return _cbor_write_uint_helper(g, test.major_type, test.argument);
                  }),
                  test.bytes);
    }
}

/* The inline head writer must give the generator's bytes, and the size
 * cbor_head_size prices them at, for every major type and width. */
TEST(CborGenerator, InlineHeadsMatchTheGenerator) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; i++) {
        auto major_type = static_cast<uint8_t>(i % 8);
        uint64_t argument = random() >> (random() % 64);
        if (i < 64 * 8)
            argument = (i / 8 % 2 == 0 ? uint64_t{1} << (i / 16) : (uint64_t{1} << (i / 16)) - 1);
        uint8_t head[9];
        int size = cbor_head_encode(head, major_type, argument);
        ASSERT_EQ(size, cbor_head_size(argument)) << argument;
        ASSERT_EQ(hex(head, static_cast<uint64_t>(size)), written([&](cbor_generator *g) {
                      return _cbor_write_uint_helper(g, major_type, argument);
                  }))
            << int{major_type} << " " << argument;
    }
}

TEST(CborGenerator, StringsContainersAndSimpleValues) {
    const std::string long_bytes(24, 'x');
    const std::string bytes_256(256, 'y');
    const struct {
        const char *name;
        std::function<int(cbor_generator *)> write;
        std::string bytes;
    } cases[] = {
        {"empty byte string",
         [](cbor_generator *g) { return cbor_write_byte_string(g, nullptr, 0); }, "40"},
        {"text abc", [](cbor_generator *g) { return cbor_write_text_string(g, "abc", 3); },
         "63616263"},
        {"text copied as is",
         [](cbor_generator *g) { return cbor_write_text_string(g, "\xff\0", 2); }, "62ff00"},
        {"24-byte string",
         [&](cbor_generator *g) { return cbor_write_byte_string(g, long_bytes.data(), 24); },
         "5818" + hex(Bytes(24, 'x'))},
        {"256-byte text",
         [&](cbor_generator *g) { return cbor_write_text_string(g, bytes_256.data(), 256); },
         "790100" + hex(Bytes(256, 'y'))},
        {"indefinite byte string copies nothing",
         [](cbor_generator *g) { return cbor_write_byte_string(g, "zz", CBOR_INDEFINITE); }, "5f"},
        {"indefinite text string",
         [](cbor_generator *g) { return cbor_write_text_string(g, nullptr, CBOR_INDEFINITE); },
         "7f"},
        {"indefinite array", [](cbor_generator *g) { return cbor_write_array(g, CBOR_INDEFINITE); },
         "9f"},
        {"empty array", [](cbor_generator *g) { return cbor_write_array(g, 0); }, "80"},
        {"array of 24", [](cbor_generator *g) { return cbor_write_array(g, 24); }, "9818"},
        {"one below the marker is a definite count",
         [](cbor_generator *g) { return cbor_write_map(g, CBOR_INDEFINITE - 1); },
         "bbfffffffffffffffe"},
        {"map of 2", [](cbor_generator *g) { return cbor_write_map(g, 2); }, "a2"},
        {"indefinite map", [](cbor_generator *g) { return cbor_write_map(g, CBOR_INDEFINITE); },
         "bf"},
        {"break", cbor_write_break, "ff"},
        {"false", cbor_write_false, "f4"},
        {"true", cbor_write_true, "f5"},
        {"null", cbor_write_null, "f6"},
        {"undefined", cbor_write_undefined, "f7"},
    };
    for (const auto &test : cases) {
        EXPECT_EQ(written(test.write), test.bytes) << test.name;
    }
}

TEST(CborGenerator, WritesAccumulateInOneBlock) {
    cbor_generator *generator = cbor_generator_create();
    ASSERT_NE(generator, nullptr);
    EXPECT_EQ(generator->data, nullptr);
    EXPECT_EQ(generator->len, 0u);
    EXPECT_EQ(cbor_write_array(generator, 2), 0);
    EXPECT_EQ(cbor_write_uint(generator, 1000), 0);
    EXPECT_EQ(cbor_write_text_string(generator, "a", 1), 0);
    EXPECT_EQ(_cbor_generator_write_bytes(generator, "", 0), 0);
    EXPECT_EQ(_cbor_generator_write_byte(generator, 0x1F6), 0);
    EXPECT_EQ(hex(generator->data, generator->len), "821903e86161f6");
    cbor_generator_free(generator);
    cbor_generator_free(nullptr);
}

TEST(CborGenerator, FloatWidthChoice) {
    const struct {
        double value;
        const char *bytes;
    } cases[] = {
        {0.0, "f90000"},
        {-0.0, "f98000"},
        {1.0, "f93c00"},
        {1.5, "f93e00"},
        {5.5, "f94580"},
        {-2.0, "f9c000"},
        {65504.0, "f97bff"},
        {65520.0, "fa477ff000"},
        {65536.0, "fa47800000"},
        {100000.0, "fa47c35000"},
        {ldexp(1, -14), "f90400"},
        {ldexp(1, -15), "fa38000000"},
        {ldexp(1, -24), "fa33800000"},
        {1.0009765625, "f93c01"},
        {1.00048828125, "fa3f801000"},
        {3.4028234663852886e38, "fa7f7fffff"},
        {ldexp(1, -149), "fa00000001"},
        {ldexp(1, -150), "fb3690000000000000"},
        {0.1, "fb3fb999999999999a"},
        {1e300, "fb7e37e43c8800759c"},
        {3e38, "fb47ec363cbf21f28a"},
        {-65504.0, "f9fbff"},
        {-ldexp(1, -14), "f98400"},
        {131008.0, "fa47ffe000"},
        {HUGE_VAL, "f97c00"},
        {-HUGE_VAL, "f9fc00"},
    };
    for (const auto &test : cases) {
        EXPECT_EQ(float_written(test.value), test.bytes) << test.value;
    }
}

TEST(CborGenerator, EveryNaNIsTheSameHalf) {
    const uint64_t nans[] = {0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
                             0xFFFFFFFFFFFFFFFF, 0x7FF4000000000000, 0x7FFC000000000000};
    for (uint64_t bits : nans) {
        EXPECT_EQ(float_written(bits_double(bits)), "f97e00") << std::hex << bits;
    }
}

/* The fixed-width writers round or copy without judging the result. */
TEST(CborGenerator, FixedWidthFloats) {
    const struct {
        const char *name;
        std::function<int(cbor_generator *)> write;
        const char *bytes;
    } cases[] = {
        {"single of 1.0", [](cbor_generator *g) { return cbor_write_float32(g, 1.0); },
         "fa3f800000"},
        {"single rounds to nearest", [](cbor_generator *g) { return cbor_write_float32(g, 0.1); },
         "fa3dcccccd"},
        {"single ties to even",
         [](cbor_generator *g) { return cbor_write_float32(g, 1.0 + ldexp(1, -24)); },
         "fa3f800000"},
        {"single too large is infinite",
         [](cbor_generator *g) { return cbor_write_float32(g, 1e300); }, "fa7f800000"},
        {"double of -0.0", [](cbor_generator *g) { return cbor_write_float64(g, -0.0); },
         "fb8000000000000000"},
        {"double of 1.1", [](cbor_generator *g) { return cbor_write_float64(g, 1.1); },
         "fb3ff199999999999a"},
    };
    for (const auto &test : cases) {
        EXPECT_EQ(written(test.write, 1), test.bytes) << test.name;
    }
}

TEST(CborGenerator, NullGeneratorFailsEveryWriter) {
    const std::function<int(cbor_generator *)> writers[] = {
        [](cbor_generator *g) { return _cbor_generator_write_byte(g, 0); },
        [](cbor_generator *g) { return _cbor_generator_write_bytes(g, "a", 1); },
        [](cbor_generator *g) { return _cbor_generator_write_bytes(g, "", 0); },
        [](cbor_generator *g) { return _cbor_write_uint_helper(g, 0, 1000); },
        [](cbor_generator *g) { return _cbor_write_uint_sized(g, 0x19, 1000); },
        [](cbor_generator *g) { return cbor_write_uint(g, 0); },
        [](cbor_generator *g) { return cbor_write_negint(g, UINT64_MAX); },
        [](cbor_generator *g) { return cbor_write_byte_string(g, "a", 1); },
        [](cbor_generator *g) { return cbor_write_byte_string(g, nullptr, 0); },
        [](cbor_generator *g) { return cbor_write_byte_string(g, nullptr, CBOR_INDEFINITE); },
        [](cbor_generator *g) { return cbor_write_text_string(g, "a", 1); },
        [](cbor_generator *g) { return cbor_write_text_string(g, nullptr, CBOR_INDEFINITE); },
        [](cbor_generator *g) { return cbor_write_array(g, 3); },
        [](cbor_generator *g) { return cbor_write_array(g, CBOR_INDEFINITE); },
        [](cbor_generator *g) { return cbor_write_map(g, 3); },
        [](cbor_generator *g) { return cbor_write_map(g, CBOR_INDEFINITE); },
        cbor_write_break,
        cbor_write_false,
        cbor_write_true,
        cbor_write_null,
        cbor_write_undefined,
        [](cbor_generator *g) { return cbor_write_float32(g, 1.0); },
        [](cbor_generator *g) { return cbor_write_float64(g, 1.0); },
        [](cbor_generator *g) { return cbor_write_float(g, 1.0); },
        [](cbor_generator *g) { return cbor_write_float(g, 0.1); },
        [](cbor_generator *g) { return cbor_write_float(g, NAN); },
        [](cbor_generator *g) { return cbor_write_float(g, -HUGE_VAL); },
    };
    for (size_t i = 0; i < std::size(writers); i++) {
        EXPECT_EQ(writers[i](nullptr), -1) << "writer " << i;
    }
}

/* Decodes one float item as written, independently of the parser. */
double decode_float_item(const std::string &hex_bytes) {
    uint64_t bits = std::stoull(hex_bytes.substr(2), nullptr, 16);
    if (hex_bytes.compare(0, 2, "f9") == 0) {
        return reference_half(static_cast<uint16_t>(bits));
    }
    if (hex_bytes.compare(0, 2, "fa") == 0) {
        float single;
        auto single_bits = static_cast<uint32_t>(bits);
        memcpy(&single, &single_bits, sizeof single);
        return single;
    }
    EXPECT_EQ(hex_bytes.substr(0, 2), "fb");
    return bits_double(bits);
}

/*
 * The narrowest exact width by arithmetic rather than bit tricks: a half
 * holds zero and the normal values 2^-14 <= |x| <= 65504 with at most 11
 * significant bits; a single holds what survives a round trip through float.
 */
size_t narrowest_size(double value) {
    if (value == 0) {
        return 3;
    }
    int exponent;
    double mantissa = frexp(fabs(value), &exponent);
    double significand = ldexp(mantissa, 11);
    if (fabs(value) >= ldexp(1, -14) && fabs(value) <= 65504 && significand == floor(significand)) {
        return 3;
    }
    if (fabs(value) <= 3.4028234663852886e38 &&
        static_cast<double>(static_cast<float>(value)) == value) {
        return 5;
    }
    return 9;
}

/*
 * Every half pattern, decoded and written again: zeros, normal halves and
 * infinities come back as the very same half; subnormal halves as singles;
 * NaNs as the one quiet NaN.
 */
TEST(CborGenerator, EveryHalfPatternRoundTrips) {
    for (uint32_t half = 0; half <= 0xFFFF; half++) {
        double value = reference_half(static_cast<uint16_t>(half));
        std::string bytes = float_written(value);
        unsigned exponent = (half >> 10) & 0x1F;
        unsigned fraction = half & 0x3FF;
        char same_half[8];
        snprintf(same_half, sizeof same_half, "f9%04x", half);
        if (exponent == 0x1F && fraction != 0) {
            ASSERT_EQ(bytes, "f97e00") << std::hex << half;
        } else if (exponent != 0 || fraction == 0) {
            ASSERT_EQ(bytes, same_half) << std::hex << half;
        } else {
            ASSERT_EQ(bytes.substr(0, 2), "fa") << std::hex << half;
            ASSERT_EQ(decode_float_item(bytes), value) << std::hex << half;
        }
    }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr int RANDOM_FLOATS = 500000;
#else
constexpr int RANDOM_FLOATS = 3000000;
#endif

/*
 * Random values of three kinds: arbitrary double bit patterns (mostly far
 * outside single range), singles widened to double, and short dyadic
 * fractions that often fit a half.  Whatever width is chosen must decode to
 * exactly the input, sign of zero included, and be the narrowest that does.
 */
TEST(CborGenerator, RandomFloatsTakeTheNarrowestExactForm) {
    std::mt19937_64 random(8122026);
    for (int round = 0; round < RANDOM_FLOATS; round++) {
        double value = random_double(random, static_cast<uint64_t>(round % 3));
        if (std::isnan(value)) {
            continue;
        }
        std::string bytes = float_written(value);
        ASSERT_EQ(double_bits(decode_float_item(bytes)), double_bits(value)) << value;
        ASSERT_EQ(bytes.size() / 2, narrowest_size(value)) << value << " as " << bytes;
    }
}

} // namespace
