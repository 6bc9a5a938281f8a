/*
 * Checked deltas, patching and inspection, over generated pairs from both
 * methods:
 *
 *   - the check is read back as written, and a check that is there only in
 *     part is refused, never taken for a delta without one;
 *   - a checked delta patches to the new value, and the plain reader, which
 *     skips the check, gives the same value (the no-change delta aside);
 *   - a delta without a check patches exactly as the plain reader reads it;
 *   - inspection, which has no old value, reports what applying finds, and
 *     refuses what patching refuses for every old value.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "buf.h"
#include "crc64.h"
#include "diff_apply.h"
#include "diff_check.h"
#include "diff_generate.h"
#include "diff_index.h"
#include "diff_patch.h"
#include "test_random.h"

namespace {

using bytes = std::vector<uint8_t>;

#if defined(__SANITIZE_ADDRESS__)
const int PAIRS = 150;
#else
const int PAIRS = 600;
#endif

buf view(const bytes &value) {
    return buf{const_cast<uint8_t *>(value.data()), value.size(), value.size()};
}

bytes contents(const buf *value) {
    return value->len == 0 ? bytes{} : bytes(value->data, value->data + value->len);
}

/* The result of patching, or the status for a null result. */
struct outcome {
    std::optional<bytes> value;
    int32_t status;
};

outcome patched(const bytes &old_value, const bytes &delta, uint32_t flags = 0) {
    buf old_view = view(old_value), delta_view = view(delta);
    int32_t status = -1;
    buf *result = diff_patch(&old_view, &delta_view, flags, &status);
    if (result == nullptr) {
        return {std::nullopt, status};
    }
    bytes value = contents(result);
    buf_free(result);
    return {value, status};
}

outcome read_plainly(const bytes &old_value, const bytes &delta) {
    buf old_view = view(old_value), delta_view = view(delta);
    int32_t status = -1;
    buf *result = diff_apply_binary_ex(&old_view, &delta_view, &status);
    if (result == nullptr) {
        return {std::nullopt, status};
    }
    bytes value = contents(result);
    buf_free(result);
    return {value, status};
}

bytes with_check(const bytes &old_value, const bytes &new_value, const bytes &plain) {
    buf old_view = view(old_value), new_view = view(new_value);
    buf *delta = buf_create();
    EXPECT_TRUE(_buf_append(delta, plain.data(), plain.size()));
    diff_check check = diff_check_of(&old_view, &new_view);
    EXPECT_TRUE(diff_check_prepend(delta, &check));
    bytes out = contents(delta);
    buf_free(delta);
    return out;
}

int32_t inspected(const bytes &delta, diff_inspection *inspection) {
    buf delta_view = view(delta);
    return diff_patch_inspect(&delta_view, inspection);
}

bytes generated_delta(const bytes &old_value, const bytes &new_value, bool index) {
    buf old_view = view(old_value), new_view = view(new_value);
    buf *delta = index ? diff_index_generate_binary(&old_view, &new_view)
                       : diff_generate_binary(&old_view, &new_view);
    EXPECT_NE(delta, nullptr);
    bytes out = contents(delta);
    buf_free(delta);
    return out;
}

/* The old value under a few edits: changed, inserted and deleted runs. */
bytes edited(generator &g, bytes value) {
    size_t edits = g.below(6);
    for (size_t e = 0; e < edits; e++) {
        size_t at = value.empty() ? 0 : g.below(value.size());
        size_t count = 1 + g.below(12);
        switch (g.below(3)) {
        case 0:
            for (size_t i = at; i < at + count && i < value.size(); i++) {
                value[i] = static_cast<uint8_t>(g.next());
            }
            break;
        case 1: {
            bytes fresh = g.noise(count, 26);
            value.insert(value.begin() + static_cast<long>(at), fresh.begin(), fresh.end());
            break;
        }
        default:
            value.erase(value.begin() + static_cast<long>(at),
                        value.begin() + static_cast<long>(std::min(at + count, value.size())));
        }
    }
    return value;
}

struct read_case {
    const char *name;
    bytes delta;
    int32_t found;
};

/* The tag 1953915755, "tvck", as its 5-byte head. */
const bytes TAG = {0xDA, 0x74, 0x76, 0x63, 0x6B};

bytes after_tag(const bytes &rest) {
    bytes out = TAG;
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

const read_case read_cases[] = {
    {"empty delta", {}, DIFF_CHECK_ABSENT},
    {"plain items", {0x00, 0x03, 0x41, 0x7A}, DIFF_CHECK_ABSENT},
    {"another tag",
     {0xDA, 0x74, 0x76, 0x63, 0x6C, 0x84, 0x20, 0x20, 0x20, 0x20},
     DIFF_CHECK_ABSENT},
    {"the tag's head cut short", {0xDA, 0x74, 0x76}, DIFF_CHECK_ABSENT},
    {"the tag, nothing after", after_tag({}), DIFF_CHECK_MALFORMED},
    {"three integers", after_tag({0x83, 0x20, 0x20, 0x20}), DIFF_CHECK_MALFORMED},
    {"an indefinite array", after_tag({0x9F, 0x20, 0x20, 0x20, 0x20, 0xFF}), DIFF_CHECK_MALFORMED},
    {"an unsigned integer among them", after_tag({0x84, 0x20, 0x00, 0x20, 0x20}),
     DIFF_CHECK_MALFORMED},
    {"a reserved head among them", after_tag({0x84, 0x20, 0x3C, 0x20, 0x20}), DIFF_CHECK_MALFORMED},
    {"the last integer cut short", after_tag({0x84, 0x20, 0x20, 0x20, 0x3B, 0x01}),
     DIFF_CHECK_MALFORMED},
    {"four integers", after_tag({0x84, 0x20, 0x38, 0xFF, 0x20, 0x3B, 1, 2, 3, 4, 5, 6, 7, 8}),
     DIFF_CHECK_PRESENT},
};

TEST(DiffCheck, ReadsTheCheckOnlyWhenItIsWhole) {
    for (const read_case &c : read_cases) {
        buf delta = view(c.delta);
        diff_check check = {};
        uint64_t body = 99;
        EXPECT_EQ(diff_check_read(&delta, &check, &body), c.found) << c.name;
        EXPECT_EQ(body, c.found == DIFF_CHECK_PRESENT ? c.delta.size() : 0u) << c.name;
        if (c.found == DIFF_CHECK_PRESENT) {
            EXPECT_EQ(check.old_size, 0u);
            EXPECT_EQ(check.old_hash, 0xFFu);
            EXPECT_EQ(check.new_size, 0u);
            EXPECT_EQ(check.new_hash, 0x0102030405060708u);
        }
    }
}

TEST(DiffCheck, WritesShortestHeadsBeforeTheBody) {
    bytes old_value = {'a', 'b', 'c'};
    bytes new_value(300, 'x');
    buf old_view = view(old_value), new_view = view(new_value);
    diff_check check = diff_check_of(&old_view, &new_view);
    EXPECT_EQ(check.old_hash, crc64(old_value.data(), old_value.size()));
    bytes delta = with_check(old_value, new_value, {0x41, 0x7A});
    bytes head = after_tag({0x84, 0x23, 0x3B});
    ASSERT_GT(delta.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), delta.begin()));
    uint64_t body = 0;
    buf delta_view = view(delta);
    diff_check read = {};
    ASSERT_EQ(diff_check_read(&delta_view, &read, &body), DIFF_CHECK_PRESENT);
    /* 5 + 1 + 1 (size 3) + 9 + 3 (size 300) + 9 */
    EXPECT_EQ(body, 28u);
    EXPECT_EQ(bytes(delta.begin() + 28, delta.end()), (bytes{0x41, 0x7A}));
    EXPECT_EQ(memcmp(&read, &check, sizeof check), 0);
}

TEST(DiffPatch, CheckedDeltasOfBothMethods) {
    generator g{20261208};
    for (int pair = 0; pair < PAIRS; pair++) {
        bytes old_value = g.noise(g.below(pair % 8 == 0 ? 2000 : 120), 1 + pair % 5);
        bytes new_value = pair % 11 == 0 ? old_value : edited(g, old_value);
        bool index = pair % 2 == 1;
        bytes plain = generated_delta(old_value, new_value, index);
        bytes checked = with_check(old_value, new_value, plain);
        bool no_change = plain == bytes{DIFF_NO_CHANGE};
        SCOPED_TRACE(testing::Message() << "pair " << pair << (index ? " (index)" : " (myers)"));

        EXPECT_EQ(patched(old_value, checked, DIFF_PATCH_REQUIRE_CHECK).value, new_value);
        outcome skipped = read_plainly(old_value, checked);
        EXPECT_EQ(skipped.value, no_change ? bytes{} : new_value);
        outcome as_before = read_plainly(old_value, plain);
        EXPECT_EQ(patched(old_value, plain).value, as_before.value);
        EXPECT_EQ(patched(old_value, plain, DIFF_PATCH_REQUIRE_CHECK).status, DIFF_APPLY_NO_CHECK);

        diff_inspection plain_view = {}, checked_view = {};
        ASSERT_EQ(inspected(plain, &plain_view), DIFF_APPLY_OK);
        ASSERT_EQ(inspected(checked, &checked_view), DIFF_APPLY_OK);
        EXPECT_FALSE(plain_view.checked);
        EXPECT_TRUE(checked_view.checked);
        EXPECT_EQ(checked_view.check.old_size, old_value.size());
        EXPECT_EQ(checked_view.check.new_size, new_value.size());
        EXPECT_EQ(memcmp(&plain_view.body, &checked_view.body, sizeof(diff_summary)), 0);
        if (!no_change) {
            EXPECT_EQ(plain_view.body.copied_bytes + plain_view.body.inserted_bytes,
                      new_value.size());
        }

        /* Wrong old values and damaged deltas: in the fuzz harness of
         * patching and in the Python tests, over both methods. */
    }
}

/* Inspection agrees with the reader on anything: random items and bytes. */
TEST(DiffPatch, InspectionAgreesWithTheReader) {
    generator g{77};
    const uint8_t pieces[][3] = {
        {0x00, 0x05, 0}, {0x18, 0x40, 0}, {0x43, 'a', 'b'},   {0x5F, 0x41, 'q'}, {0xFF, 0, 0},
        {0x20, 0, 0},    {0xF6, 0, 0},    {0xF9, 0x3C, 0},    {0x82, 0, 0},      {0xE0, 0, 0},
        {0x1C, 0, 0},    {0x7C, 0, 0},    {0x1B, 0xFF, 0xFF}, {0x5A, 0, 0},      {0xC1, 0, 0}};
    const size_t piece_sizes[] = {2, 2, 3, 3, 1, 1, 1, 2, 1, 1, 1, 1, 3, 2, 1};
    bytes old_value = g.noise(64, 26);
    const int deltas = 20000;
    for (int d = 0; d < deltas; d++) {
        bytes delta;
        size_t count = g.below(8);
        for (size_t p = 0; p < count; p++) {
            if (g.below(4) == 0) {
                delta.push_back(static_cast<uint8_t>(g.next()));
                continue;
            }
            size_t which = g.below(sizeof piece_sizes / sizeof piece_sizes[0]);
            delta.insert(delta.end(), pieces[which], pieces[which] + piece_sizes[which]);
        }
        if (d % 3 == 0) {
            delta = with_check(old_value, g.below(2) == 0 ? old_value : bytes{}, delta);
        }
        diff_inspection inspection = {};
        int32_t status = inspected(delta, &inspection);
        outcome got = patched(old_value, delta);
        if (!inspection.checked && status == DIFF_APPLY_OK) {
            /* Only the old value's size can fail a delta that inspects well. */
            ASSERT_TRUE(got.value.has_value() || got.status == DIFF_APPLY_BAD_COPY) << d;
        }
        if (status != DIFF_APPLY_OK) {
            ASSERT_FALSE(got.value.has_value()) << d;
        }
        /* Without a check the old value's size is not known: the reader may
         * stop at a copy pair outside it before it reaches what inspection
         * refuses. */
        buf delta_view = view(delta);
        diff_check check = {};
        uint64_t body = 0;
        bool sized = diff_check_read(&delta_view, &check, &body) != DIFF_CHECK_ABSENT;
        if (!got.value.has_value() && (sized || got.status != DIFF_APPLY_BAD_COPY) &&
            status != DIFF_APPLY_OK && status != DIFF_APPLY_WRONG_RESULT) {
            ASSERT_EQ(got.status, status) << d << " " << testing::PrintToString(delta);
        }
        if (got.value.has_value()) {
            ASSERT_EQ(status, DIFF_APPLY_OK) << d;
            if (inspection.body.form != DIFF_FORM_NO_CHANGE) {
                ASSERT_EQ(inspection.body.copied_bytes + inspection.body.inserted_bytes,
                          got.value->size())
                    << d;
            }
        }
    }
}

} // namespace
