/*
 * Allocation failures in the binary delta: applying a delta, generating one
 * at every quality level and with the index method, writing the replacement
 * delta and creating an activity history, with each allocation failed in
 * turn.
 *
 * A failed allocation may only show as null, or, in generation, as a
 * different but still correct delta (the engine gives up and the driver
 * falls back to the replacement delta): any delta returned must rebuild the
 * new value.  A value silently cut short is the fault these tests are for.
 */
#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstring>
#include <vector>

#include "activity_history.h"
#include "buf.h"
#include "diff_apply.h"
#include "diff_generate.h"
#include "diff_index.h"
#include "failing_allocator.h"

using failing_allocator::armed;
using failing_allocator::exhaust;
using failing_allocator::failure;

namespace {

using bytes = std::vector<uint8_t>;

buf view(const bytes &value) {
    return buf{const_cast<uint8_t *>(value.data()), value.size(), value.size()};
}

bytes contents(const buf *b) {
    return b->len == 0 ? bytes{} : bytes(b->data, b->data + b->len);
}

/* A value with structure: a repeating text with a counter in it. */
bytes sample(size_t length, uint8_t salt) {
    bytes value(length);
    for (size_t i = 0; i < length; i++) {
        value[i] = static_cast<uint8_t>("the quick brown fox "[i % 20] + (i / 97 == salt ? 1 : 0));
    }
    return value;
}

/* The old value with edits: scattered changes, an insertion, a deletion. */
bytes edited(const bytes &old_value) {
    bytes value = old_value;
    for (size_t i = 10; i < value.size(); i += 53) {
        value[i] ^= 0x55;
    }
    value.insert(value.begin() + 200, {'N', 'E', 'W', '!', '!'});
    value.erase(value.begin() + 400, value.begin() + 420);
    return value;
}

TEST(AllocDelta, ApplyGivesNullOrTheWholeValue) {
    const bytes old_value = sample(300, 1);
    /* Copy, long insert, copy, short insert, copy at the end. */
    bytes delta = {0x00, 0x18, 0x64, 0x58, 0x28};
    delta.resize(delta.size() + 40, 'i');
    delta.insert(delta.end(), {0x18, 0x64, 0x18, 0x64, 0x41, 'x', 0x19, 0x01, 0x00, 0x18, 0x2C});
    bytes want(old_value.begin(), old_value.begin() + 100);
    want.resize(want.size() + 40, 'i');
    want.insert(want.end(), old_value.begin() + 100, old_value.begin() + 200);
    want.push_back('x');
    want.insert(want.end(), old_value.begin() + 256, old_value.end());

    buf old_view = view(old_value), delta_view = view(delta);
    uint64_t allocations = exhaust([&](const failure &f) {
        int32_t status = -1;
        buf *got = armed(f, [&] { return diff_apply_binary_ex(&old_view, &delta_view, &status); });
        if (!failing_allocator_fired()) {
            ASSERT_NE(got, nullptr);
        }
        /* A lack of memory is never reported as a damaged delta. */
        EXPECT_EQ(status, got == nullptr ? DIFF_APPLY_NO_MEMORY : DIFF_APPLY_OK);
        if (got != nullptr) {
            EXPECT_EQ(contents(got), want);
        }
        buf_free(got);
    });
    EXPECT_GE(allocations, 4u); /* result, parser, items, string copies, growth */
}

uint64_t wall_clock_ms() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

/*
 * A history whose utilisation reads `figure`: every bucket holds the same
 * busy time, so the figure stays the same even if the driver's own start,
 * moments later, falls in the next bucket and clears one.
 */
tovarel_activity_history *history_reading(int32_t figure) {
    constexpr int32_t count_log = 4;
    tovarel_activity_history *history =
        tovarel_activity_history_create(1 << count_log, uint64_t{1} << 20);
    if (history == nullptr) {
        return nullptr;
    }
    _activity_history_start(history, wall_clock_ms());
    uint64_t busy = static_cast<uint64_t>(figure) << (history->utilisation_shift - count_log);
    for (uint64_t i = 0; i < history->bucket_count; i++) {
        history->buckets[i] = busy;
    }
    history->busy_total = busy * history->bucket_count;
    return history;
}

/* Applies a generated delta and compares with the new value; the no-change
 * delta stands for the old value, and only equal values may get it.  (A
 * run that lost an allocation may give equal values the replacement delta
 * instead, which rebuilds them as well.) */
void expect_rebuilds(const bytes &old_value, const bytes &new_value, const buf *delta) {
    if (contents(delta) == bytes{0xF6}) {
        EXPECT_TRUE(old_value == new_value && new_value.size() >= 2);
        return;
    }
    buf old_view = view(old_value);
    buf *rebuilt = diff_apply_binary(&old_view, delta);
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_EQ(contents(rebuilt), new_value);
    buf_free(rebuilt);
}

struct level_case {
    int32_t utilisation;
    int32_t level;
};

const level_case levels[] = {{0, 0}, {140, 1}, {180, 2}, {220, 3}, {250, 4}};

TEST(AllocDelta, GenerationAtEveryLevelGivesNullOrACorrectDelta) {
    const bytes old_value = sample(600, 2);
    const bytes new_value = edited(old_value);
    buf old_view = view(old_value), new_view = view(new_value);
    for (const level_case &c : levels) {
        SCOPED_TRACE(c.level);
        tovarel_activity_history *history = history_reading(c.utilisation);
        ASSERT_NE(history, nullptr);
        ASSERT_EQ(tovarel_activity_history_utilisation(history), c.utilisation);
        buf *clean = diff_generate_binary_with_activity_history(history, &old_view, &new_view);
        ASSERT_NE(clean, nullptr);
        EXPECT_EQ(history->last_delta_quality, c.level);
        tovarel_activity_history_free(history);
        /* The clean run must itself be a real delta, not the fallback. */
        EXPECT_LT(clean->len, new_value.size());

        uint64_t allocations = exhaust([&](const failure &f) {
            tovarel_activity_history *h = history_reading(c.utilisation);
            ASSERT_NE(h, nullptr);
            buf *got = armed(f, [&] {
                return diff_generate_binary_with_activity_history(h, &old_view, &new_view);
            });
            uint64_t sum = 0;
            for (uint64_t i = 0; i < h->bucket_count; i++) {
                sum += h->buckets[i];
            }
            EXPECT_EQ(sum, h->busy_total);
            tovarel_activity_history_free(h);
            if (!failing_allocator_fired()) {
                ASSERT_NE(got, nullptr);
                EXPECT_EQ(contents(got), contents(clean));
            }
            if (got != nullptr) {
                EXPECT_LE(got->len, new_value.size() + 3); /* the replacement delta at most */
                expect_rebuilds(old_value, new_value, got);
            }
            buf_free(got);
        });
        /* Storage, scripts and one generator per item written. */
        EXPECT_GE(allocations, 10u);
        buf_free(clean);
    }
}

/* The whole-value outcomes: no change, and nothing worth reusing. */
TEST(AllocDelta, WholeValueOutcomesGiveNullOrTheirBytes) {
    const bytes text = sample(100, 0);
    bytes unrelated(100);
    for (size_t i = 0; i < unrelated.size(); i++) {
        unrelated[i] = static_cast<uint8_t>(0x80 + i);
    }
    const struct {
        const char *name;
        bytes old_value, new_value;
    } cases[] = {
        {"equal", text, text},
        {"unrelated", text, unrelated},
        {"empty new", text, {}},
        {"one equal byte", {'a'}, {'a'}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        buf old_view = view(c.old_value), new_view = view(c.new_value);
        buf *clean = diff_generate_binary(&old_view, &new_view);
        ASSERT_NE(clean, nullptr);
        exhaust([&](const failure &f) {
            buf *got = armed(f, [&] { return diff_generate_binary(&old_view, &new_view); });
            if (!failing_allocator_fired()) {
                ASSERT_NE(got, nullptr);
                EXPECT_EQ(contents(got), contents(clean));
            }
            if (got != nullptr) {
                expect_rebuilds(c.old_value, c.new_value, got);
            }
            buf_free(got);
        });
        buf_free(clean);
    }
}

TEST(AllocDelta, ReplacementDeltaIsNullOrWhole) {
    const bytes value = sample(300, 0);
    bytes want = {0x59, 0x01, 0x2C};
    want.insert(want.end(), value.begin(), value.end());
    buf value_view = view(value);
    uint64_t allocations = exhaust([&](const failure &f) {
        buf *got = armed(f, [&] { return _write_replacement_delta(&value_view); });
        if (!failing_allocator_fired()) {
            ASSERT_NE(got, nullptr);
        }
        if (got != nullptr) {
            EXPECT_EQ(contents(got), want);
        }
        buf_free(got);
    });
    EXPECT_GE(allocations, 3u);
}

TEST(AllocDelta, HistoryCreationIsNullOrComplete) {
    uint64_t allocations = exhaust([&](const failure &f) {
        tovarel_activity_history *history =
            armed(f, [&] { return tovarel_activity_history_create(64, 100); });
        if (!failing_allocator_fired()) {
            ASSERT_NE(history, nullptr);
        }
        if (history != nullptr) {
            ASSERT_NE(history->buckets, nullptr);
            EXPECT_EQ(history->bucket_count, 64u);
            _activity_history_start(history, 1 << 20);
            _activity_history_stop(history, (1 << 20) + 50);
            EXPECT_EQ(history->busy_total, 50u);
        }
        tovarel_activity_history_free(history);
    });
    EXPECT_EQ(allocations, 2u); /* the record and its buckets */
}

/* The index method: its tables, the edit script and the items it writes,
 * and at 20000 bytes under the small allowance the trial of a sparse index
 * too. */
TEST(AllocIndex, GivesNullOrADeltaThatRebuilds) {
    for (size_t size : {3000, 20000}) {
        bytes old_value(size);
        for (size_t i = 0; i < old_value.size(); i++)
            old_value[i] = static_cast<uint8_t>("moved blocks and runs "[i % 22] + i / 300);
        /* A block moved to the front, a run, an edit and the equal case. */
        bytes moved(old_value.begin() + 2000, old_value.begin() + 2600);
        moved.insert(moved.end(), old_value.begin(), old_value.begin() + 2000);
        moved.insert(moved.end(), 40, 0);
        moved.insert(moved.end(), old_value.begin() + 2600, old_value.end());
        moved[700] ^= 0x33;
        for (const bytes &new_value : {moved, old_value}) {
            buf old_view = view(old_value), new_view = view(new_value);
            for (uint64_t allowance : {uint64_t{0}, uint64_t{4000}}) {
                buf *clean = diff_index_generate_binary_ex(&old_view, &new_view, allowance);
                ASSERT_NE(clean, nullptr);
                uint64_t allocations = exhaust([&](const failure &f) {
                    buf *got = armed(f, [&] {
                        return diff_index_generate_binary_ex(&old_view, &new_view, allowance);
                    });
                    if (!failing_allocator_fired()) {
                        ASSERT_NE(got, nullptr);
                        EXPECT_EQ(contents(got), contents(clean));
                    }
                    if (got != nullptr) {
                        expect_rebuilds(old_value, new_value, got);
                    }
                    buf_free(got);
                });
                EXPECT_GE(allocations, 2u);
                buf_free(clean);
            }
        }
    }
}

} // namespace
