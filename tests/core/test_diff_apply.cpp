/*
 * Tests of delta application: the format's items one by one, deltas cut
 * short, the no-change delta, copy pairs that reach outside the old value, indefinite strings,
 * random deltas built from known edits (the result must be exact), and
 * random garbage against an exactly sized old value (AddressSanitizer proves
 * that nothing outside it is read).
 */
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "cbor_generator.h"
#include "cbor_test_support.h"
#include "diff_apply.h"

namespace {

/* Applies the delta to the old value, both in exactly sized heap blocks;
 * nullopt stands for a null result. */
std::optional<Bytes> apply_delta(const Bytes &old_bytes, const Bytes &delta_bytes,
                                 int32_t *status = nullptr) {
    HeapBytes old_heap(old_bytes), delta_heap(delta_bytes);
    buf old_value = {const_cast<uint8_t *>(old_heap.data()), old_heap.size(), old_heap.size()};
    buf delta = {const_cast<uint8_t *>(delta_heap.data()), delta_heap.size(), delta_heap.size()};
    buf *result = diff_apply_binary_ex(&old_value, &delta, status);
    if (result == nullptr) {
        return std::nullopt;
    }
    Bytes bytes(result->data, result->data + result->len);
    buf_free(result);
    return bytes;
}

Bytes text(const char *characters) {
    return Bytes(characters, characters + strlen(characters));
}

Bytes concat(Bytes head, const Bytes &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const std::optional<Bytes> null_result = std::nullopt;

struct ApplyCase {
    const char *name;
    Bytes old_value;
    Bytes delta;
    std::optional<Bytes> expected;
    int32_t status = DIFF_APPLY_OK;
};

constexpr int32_t bad_copy = DIFF_APPLY_BAD_COPY;
constexpr int32_t cut_short = DIFF_APPLY_CUT_SHORT;

const ApplyCase apply_cases[] = {
    {"worked example",
     text("abcdefgh"),
     {0x00, 0x03, 0x42, 0x58, 0x59, 0x05, 0x03},
     text("abcXYfgh")},
    {"empty replacement", text("abc"), {0x40}, Bytes{}},
    {"one-byte insert", text("abc"), {0x41, 0x7A}, text("z")},
    {"insert into an empty old value", {}, {0x41, 0x7A}, text("z")},
    {"no-change delta", text("abc"), {DIFF_NO_CHANGE}, text("abc")},
    {"no-change delta of an empty value", {}, {DIFF_NO_CHANGE}, Bytes{}},
    {"no-change item in a longer delta skipped", text("abc"), {0xF6, 0x41, 0x7A}, text("z")},
    {"no-change item at the end skipped", text("abc"), {0x41, 0x7A, 0xF6}, text("z")},
    {"empty delta", text("abc"), {}, Bytes{}},
    {"offset alone", text("abc"), {0x00}, null_result, bad_copy},
    {"offset then a string", text("abc"), {0x00, 0x40}, null_result, bad_copy},
    {"offset then a negative integer", text("abc"), {0x00, 0x20}, null_result, bad_copy},
    {"length cut short", text("abcdefgh"), {0x00, 0x02, 0x05, 0x1A}, null_result, bad_copy},
    {"offset cut short", text("abcdefgh"), {0x00, 0x02, 0x1A, 0x00}, null_result, cut_short},
    {"string cut short", text("abc"), {0x41, 0x61, 0x43, 0x62}, null_result, cut_short},
    {"string head cut short", text("abc"), {0x41, 0x61, 0x59, 0x01}, null_result, cut_short},
    {"half float cut short", text("abc"), {0x41, 0x61, 0xF9, 0x3C}, null_result, cut_short},
    {"text after a whole delta",
     text("abc"),
     {0x00, 0x03, 'j', 'u', 'n', 'k'},
     null_result,
     cut_short},
    {"array head skipped", text("abc"), {0x82, 0x41, 0x61, 0x41, 0x62}, text("ab")},
    {"text string applied", text("abc"), {0x62, 0x68, 0x69}, text("hi")},
    {"copy of length 0", text("abc"), {0x01, 0x00, 0x41, 0x7A}, text("z")},
    {"reserved bytes as a copy pair", text("abc"), {0x1C, 0x1C}, Bytes{}},
    {"reserved byte as a lone offset", text("abc"), {0x1C}, null_result, bad_copy},
    {"reserved string byte", text("abc"), {0x5C, 0x7D}, Bytes{}},
    {"skipped items between pairs",
     text("abcdefgh"),
     {0x20, 0xF6, 0xC1, 0x04, 0x02, 0xF9, 0x3C, 0x00, 0xFF, 0xA1, 0x06, 0x01},
     text("efg")},
    {"an offset after a skipped item still pairs",
     text("abc"),
     {0xF5, 0x01, 0x41},
     null_result,
     bad_copy},
    {"copies may repeat and overlap",
     text("abcd"),
     {0x01, 0x02, 0x00, 0x03, 0x01, 0x02},
     text("bcabcbc")},
    {"sized heads of a pair", text("abcdefgh"), {0x18, 0x02, 0x19, 0x00, 0x03}, text("cde")},
    {"copy up to the very end", text("abcdefgh"), {0x05, 0x03}, text("fgh")},
    {"copy one past the end", text("abcdefgh"), {0x05, 0x04}, null_result, bad_copy},
    {"offset past the end", text("abcdefgh"), {0x09, 0x00}, null_result, bad_copy},
    {"offset at the end with length 0", text("abcdefgh"), {0x08, 0x00}, Bytes{}},
    {"huge length", text("abc"), {0x00, 0x1B, 0x80, 0, 0, 0, 0, 0, 0, 0}, null_result, bad_copy},
    {"sum that overflows 64 bits",
     text("abc"),
     {0x1B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},
     null_result,
     bad_copy},
    {"length that overflows with offset 1",
     text("abc"),
     {0x01, 0x1B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     null_result,
     bad_copy},
    {"indefinite byte string chunks applied",
     text("abc"),
     {0x5F, 0x41, 0x61, 0x42, 0x62, 0x63, 0xFF, 0x01, 0x01},
     text("abcb")},
    {"indefinite text string chunks applied",
     text("abc"),
     {0x7F, 0x61, 0x78, 0x60, 0xFF},
     text("x")},
    {"indefinite head at the end", text("abc"), {0x41, 0x61, 0x5F}, text("a")},
    {"replacement delta of 24 bytes", text("abc"), concat({0x58, 0x18}, Bytes(24, 0x77)),
     Bytes(24, 0x77)},
    {"replacement delta of 256 bytes",
     {},
     concat({0x59, 0x01, 0x00}, Bytes(256, 0x01)),
     Bytes(256, 0x01)},
};

TEST(DiffApply, EachKindOfItem) {
    for (const ApplyCase &test : apply_cases) {
        int32_t status = -1;
        EXPECT_EQ(apply_delta(test.old_value, test.delta, &status), test.expected) << test.name;
        EXPECT_EQ(status, test.status) << test.name;
    }
}

TEST(DiffApply, UnimplementedSimpleValuesAreSkipped) {
    testing::internal::CaptureStderr();
    std::optional<Bytes> result = apply_delta(text("abc"), {0xE0, 0xF8, 0x41, 0x61});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unimplemented CBOR code: e0\nUnimplemented CBOR code: f8\n");
    /* 0xF8's value byte 0x41 is read as a string head. */
    EXPECT_EQ(result, text("a"));
}

/* A null delta is no delta; a null old value can serve only deltas that
 * copy nothing from it. */
TEST(DiffApply, NullArguments) {
    Bytes insert = {0x41, 0x7A};
    Bytes copy = {0x00, 0x00};
    buf insert_delta = {insert.data(), insert.size(), insert.size()};
    buf copy_delta = {copy.data(), copy.size(), copy.size()};
    buf old_value = {nullptr, 0, 0};

    uint8_t no_change = DIFF_NO_CHANGE;
    buf no_change_delta = {&no_change, 1, 1};
    buf no_storage = {nullptr, 3, 3};

    EXPECT_EQ(diff_apply_binary(&old_value, nullptr), nullptr);
    EXPECT_EQ(diff_apply_binary(nullptr, &copy_delta), nullptr);
    EXPECT_EQ(diff_apply_binary(nullptr, &no_change_delta), nullptr);
    EXPECT_EQ(diff_apply_binary(&no_storage, &no_change_delta), nullptr);
    buf *result = diff_apply_binary(nullptr, &insert_delta);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(hex(result->data, result->len), "7a");
    buf_free(result);

    result = diff_apply_binary(&old_value, &copy_delta);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->len, 0u);
    buf_free(result);

    result = diff_apply_binary(&old_value, &no_change_delta);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->len, 0u);
    buf_free(result);
}

/* An edit: copy old[offset, offset + length) or insert the given bytes. */
struct Edit {
    bool copy;
    uint64_t offset, length;
    Bytes bytes;
};

/*
 * Random edits of a random old value, written as a delta with the CBOR
 * writers, must rebuild exactly the new value they describe.  Some old
 * values and lengths are large enough for every head width up to 32 bits.
 */
TEST(DiffApply, RandomDeltasRebuildTheirValue) {
    std::mt19937_64 random(1208);
    for (int round = 0; round < 2000; round++) {
        Bytes old_value(random() % 8 == 0 ? 70000 + random() % 1000 : random() % 300);
        for (uint8_t &byte : old_value) {
            byte = static_cast<uint8_t>(random());
        }
        cbor_generator *generator = cbor_generator_create();
        Bytes expected;
        for (int edits = static_cast<int>(random() % 8); edits > 0; edits--) {
            if (!old_value.empty() && random() % 2 == 0) {
                uint64_t offset = random() % old_value.size();
                uint64_t length = random() % (old_value.size() - offset + 1);
                ASSERT_EQ(cbor_write_uint(generator, offset), 0);
                ASSERT_EQ(cbor_write_uint(generator, length), 0);
                expected.insert(expected.end(), old_value.begin() + static_cast<long>(offset),
                                old_value.begin() + static_cast<long>(offset + length));
            } else {
                Bytes inserted(random() % 3 == 0 ? random() % 300 : random() % 24);
                for (uint8_t &byte : inserted) {
                    byte = static_cast<uint8_t>(random());
                }
                ASSERT_EQ(cbor_write_byte_string(generator, inserted.data(), inserted.size()), 0);
                expected.insert(expected.end(), inserted.begin(), inserted.end());
            }
        }
        Bytes delta(generator->data, generator->data + generator->len);
        cbor_generator_free(generator);
        ASSERT_EQ(apply_delta(old_value, delta), expected) << "round " << round;
    }
}

/*
 * Random deltas, biased toward heads with sized arguments, and mutated
 * valid deltas: whatever the result, nothing outside the old value or the
 * delta may be read, and a result is never longer than what the delta could
 * have produced from the old value.
 */
TEST(DiffApply, RandomGarbageStaysInBounds) {
    std::mt19937_64 random(31337);
    const uint8_t interesting[] = {0x00, 0x01, 0x05, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C,
                                   0x41, 0x58, 0x5F, 0x7F, 0x62, 0xFF, 0xF6, 0x82, 0x20};
    testing::internal::CaptureStderr();
    for (int round = 0; round < 20000; round++) {
        Bytes old_value(random() % 12);
        for (uint8_t &byte : old_value) {
            byte = static_cast<uint8_t>(random());
        }
        Bytes delta(random() % 24);
        for (uint8_t &byte : delta) {
            byte = random() % 2 == 0 ? interesting[random() % sizeof interesting]
                                     : static_cast<uint8_t>(random());
        }
        std::optional<Bytes> result = apply_delta(old_value, delta);
        if (result) {
            ASSERT_LE(result->size(),
                      delta.size() / 2 * old_value.size() + delta.size() + old_value.size());
        }
    }
    testing::internal::GetCapturedStderr();
}

} // namespace
