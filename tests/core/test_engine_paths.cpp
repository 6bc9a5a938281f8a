/*
 * Every search path against the plain one, over generated pairs: the same
 * events call for call, the same result, and the same storage left behind
 * by a search.  Small pairs run at every level with small budgets, so that
 * searches bail out and their gaps nest deeply; large pairs run with the
 * budgets real values meet.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "engine_recorder.h"
#include "execution.h"
#include "execution_search.h"
#include "myers_binary_diff.h"
#include "test_random.h"

namespace {

/* The sanitized build runs a tenth of the pairs, to keep within its time. */
const int SMALL_PAIRS = ENGINE_SANITIZED ? 10000 : 100000;
const int LARGE_PAIRS = ENGINE_SANITIZED ? 10 : 100;

using bytes = std::vector<uint8_t>;

/* New bytes from old ones: unrelated, edited in runs, or reordered in
 * blocks, over small or full alphabets. */
std::pair<bytes, bytes> make_pair(generator &g, size_t min_length, size_t max_length) {
    static const unsigned alphabets[] = {2, 4, 26, 200};
    unsigned alphabet = alphabets[g.below(4)];
    auto pick_length = [&] { return min_length + g.below(max_length - min_length + 1); };
    bytes old_bytes = g.noise(pick_length(), alphabet);
    bytes new_bytes;
    switch (g.below(3)) {
    case 0:
        new_bytes = g.noise(pick_length(), alphabet);
        break;
    case 1: {
        new_bytes = old_bytes;
        for (size_t edits = 1 + g.below(8 + max_length / 64); edits > 0; edits--) {
            size_t at = g.below(new_bytes.size() + 1);
            size_t length = std::min(1 + g.below(max_length / 16 + 2), new_bytes.size() - at);
            bytes run = g.noise(1 + g.below(max_length / 16 + 2), alphabet);
            switch (g.below(3)) {
            case 0:
                new_bytes.erase(new_bytes.begin() + at, new_bytes.begin() + at + length);
                break;
            case 1:
                new_bytes.insert(new_bytes.begin() + at, run.begin(), run.end());
                break;
            default:
                new_bytes.erase(new_bytes.begin() + at, new_bytes.begin() + at + length);
                new_bytes.insert(new_bytes.begin() + at, run.begin(), run.end());
            }
        }
        break;
    }
    default: {
        size_t block = 1 + g.below(max_length / 8 + 1);
        std::vector<size_t> starts;
        for (size_t at = 0; at < old_bytes.size(); at += block) {
            starts.push_back(at);
        }
        for (size_t i = starts.size(); i > 1; i--) {
            std::swap(starts[i - 1], starts[g.below(i)]);
        }
        for (size_t at : starts) {
            size_t end = std::min(at + block, old_bytes.size());
            new_bytes.insert(new_bytes.end(), old_bytes.begin() + at, old_bytes.begin() + end);
        }
    }
    }
    return {std::move(old_bytes), std::move(new_bytes)};
}

struct observed {
    int32_t result;
    std::vector<recorded_event> calls;
    std::vector<int32_t> slots; /* the storage after a single search */
    uint32_t slots_in_use;
};

bool operator==(const observed &a, const observed &b) {
    auto same_event = [](const recorded_event &x, const recorded_event &y) {
        return x.kind == y.kind && x.position == y.position && x.length == y.length;
    };
    return a.result == b.result &&
           std::equal(a.calls.begin(), a.calls.end(), b.calls.begin(), b.calls.end(), same_event) &&
           a.slots == b.slots && a.slots_in_use == b.slots_in_use;
}

struct settings {
    int32_t level;
    int32_t cost_limit;
    int32_t allowance;
};

observed compare_values(const test_value &old_value, const test_value &new_value,
                        const settings &s) {
    engine_recorder recorder;
    active_recorder = &recorder;
    int32_t result =
        myers_binary_diff(&old_value.view, 0, old_value.size(), &new_value.view, 0,
                          new_value.size(), nullptr, s.allowance, s.cost_limit, s.level);
    return {result, std::move(recorder.calls), {}, 0};
}

/* One search over the whole values, and the storage it leaves. */
observed search_once(const test_value &old_value, const test_value &new_value, const settings &s) {
    engine_recorder recorder;
    active_recorder = &recorder;
    execution *e =
        execution_create(&old_value.view, &new_value.view, nullptr, s.allowance, s.cost_limit);
    if (e == nullptr) {
        return {-2, {}, {}, 0};
    }
    bool complete =
        execution_middlesnake(e, 0, old_value.size(), 0, new_value.size(), s.cost_limit);
    const storage *st = e->storage;
    observed got = {complete, std::move(recorder.calls),
                    std::vector<int32_t>(st->slots, st->slots + st->slot_capacity),
                    st->slots_in_use};
    execution_free(e);
    return got;
}

/* Runs `what` on the plain path and on every other path this processor
 * has; each must observe exactly what the plain path did. */
template <class What> void expect_paths_agree(What what, const std::string &label) {
    ASSERT_TRUE(_execution_search_force_path(EXECUTION_SEARCH_PLAIN));
    observed plain = what();
    for (int32_t path = EXECUTION_SEARCH_PLAIN + 1; path < EXECUTION_SEARCH_PATHS; path++) {
        if (_execution_search_force_path(path)) {
            observed fast = what();
            ASSERT_TRUE(fast == plain) << label << " on path " << path << ": result " << fast.result
                                       << " vs " << plain.result << ", " << fast.calls.size()
                                       << " vs " << plain.calls.size() << " calls";
        }
    }
    _execution_search_force_path(EXECUTION_SEARCH_AUTO);
}

/* Levels 0 to 3 and 5 with budgets of 1 to 48 (level 0) or the level's
 * own; now and then an allowance that stops a search. */
TEST(EnginePaths, SmallPairsAgreeAtEveryLevel) {
    generator g{0x5EED};
    for (int i = 0; i < SMALL_PAIRS; i++) {
        auto [old_bytes, new_bytes] = make_pair(g, 0, i % 10 == 0 ? 300 : 100);
        test_value old_value(std::move(old_bytes)), new_value(std::move(new_bytes));
        settings s = {static_cast<int32_t>(i % 6), 1 + static_cast<int32_t>(g.below(48)),
                      g.below(8) == 0 ? 3 + static_cast<int32_t>(g.below(400)) : INT32_MAX};
        std::string label = "pair " + std::to_string(i);
        expect_paths_agree([&] { return compare_values(old_value, new_value, s); }, label);
        if (i % 4 == 0 && old_value.size() > 0 && new_value.size() > 0) {
            expect_paths_agree([&] { return search_once(old_value, new_value, s); },
                               label + " single search");
        }
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST(EnginePaths, LargePairsAgree) {
    generator g{0xB16};
    const int32_t budgets[] = {16, 64, 400};
    for (int i = 0; i < LARGE_PAIRS; i++) {
        auto [old_bytes, new_bytes] = make_pair(g, 100000, 130000);
        test_value old_value(std::move(old_bytes)), new_value(std::move(new_bytes));
        settings s = {static_cast<int32_t>(i % 4), budgets[g.below(3)], INT32_MAX};
        expect_paths_agree([&] { return compare_values(old_value, new_value, s); },
                           "large pair " + std::to_string(i));
        if (HasFatalFailure()) {
            return;
        }
    }
}

} // namespace
