/*
 * The difference engine's event streams, checked call for call against
 * streams worked out by hand, plus its entry checks and small helpers.
 */
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "engine_recorder.h"
#include "execution.h"
#include "execution_search.h"
#include "myers_binary_diff.h"

namespace {

const int32_t FULL_ALLOWANCE = INT32_MAX;
const int32_t DEFAULT_COST = 10000;

struct outcome {
    int32_t result;
    std::string events;
    int closes;
};

outcome run_diff(const std::string &old_text, const std::string &new_text, int32_t level,
                 int32_t allowance = FULL_ALLOWANCE, int32_t cost_limit = DEFAULT_COST) {
    test_value old_value(old_text), new_value(new_text);
    engine_recorder recorder;
    active_recorder = &recorder;
    int32_t result = myers_binary_diff(&old_value.view, 0, old_value.size(), &new_value.view, 0,
                                       new_value.size(), nullptr, allowance, cost_limit, level);
    return {result, recorder.rendered(), recorder.closes};
}

struct event_case {
    const char *name;
    std::string old_text;
    std::string new_text;
    int32_t level;
    const char *events;
};

/* For the cases that pin down a choice, the comment names what the other
 * choice would have reported. */
const event_case event_cases[] = {
    {"both empty", "", "", 0, ""},
    {"equal", "abc", "abc", 0, "M(0,3)"},
    {"old empty", "", "xyz", 0, "I(0,3)"},
    {"new empty", "xyz", "", 0, "D"},
    {"insertion between prefix and suffix", "abc", "abXc", 0, "M(0,2) I(2,1) M(2,1)"},
    {"reversed, meets in step 3 on diagonal -3", "abcd", "dcba", 0, "D M(3,1) I(1,3)"},
    {"delta 1", "abcabba", "cbabac", 0, "D M(2,1) D M(4,1) I(2,1) M(5,1) M(6,1) I(5,1)"},
    {"delta -1", "cbabac", "abcabba", 0, "D I(0,1) M(1,1) I(2,1) M(2,2) I(5,1) M(4,1) D"},
    /* Two diagonals meet in step 1; the higher would give "I(0,1) D". */
    {"lowest meeting diagonal", "c", "a", 0, "D I(0,1)"},
    /* Odd deltas without bits 4, 5 and 7 test in the reverse pass; the
     * forward pass would give "D I(0,1)" and "D M(1,1) D D". */
    {"delta 1 tests in reverse", "ca", "b", 0, "D D I(0,1)"},
    {"delta 3 tests in reverse", "abaa", "b", 0, "D M(1,1) D"},
    /* The reverse pass would give "D I(0,2)" and "D D M(90,1) D D D D D". */
    {"delta -1 tests forward", "a", "bb", 0, "D I(0,1) I(1,1)"},
    {"delta 177 tests forward", "ba" + std::string(88, 'b') + "a" + std::string(87, 'b'), "a", 0,
     "D M(1,1) D D D D D D D"},
    {"level 4 replaced middle", "abcdef", "abXYef", 4, "M(0,2) I(2,2) D M(4,2)"},
    {"level 4 deleted middle", "abcdef", "abef", 4, "M(0,2) D M(4,2)"},
    {"level 4 inserted middle", "abef", "abXYef", 4, "M(0,2) I(2,2) M(2,2)"},
    {"level 4 ignores inner matches", "abcd", "dcba", 4, "I(0,4) D"},
    {"level 3 bails after step 2", "abcd", "dcba", 3, "D D I(0,1) D I(1,1) I(2,2)"},
    {"level 5 bails after step 1", "abcd", "dcba", 5, "D D D I(0,1) I(1,2) D I(3,1)"},
    {"level -1 bails after step 1", "abcd", "dcba", -1, "D D D I(0,1) I(1,2) D I(3,1)"},
};

ENGINE_TEST(EngineEvents, StreamsMatchHandWorkedExamples) {
    for (const event_case &c : event_cases) {
        SCOPED_TRACE(c.name);
        outcome got = run_diff(c.old_text, c.new_text, c.level);
        EXPECT_EQ(got.events, c.events);
        EXPECT_EQ(got.result, COALLESCING_DELTA); /* what the recorder's close returns */
        EXPECT_EQ(got.closes, 1);
    }
}

/*
 * Over 'a' x N against 'b' x N nothing ever matches, every diagonal ties,
 * and a search that bails after step D splits at (D, 0) and (N, N - D): its
 * last event is the insertion of the final D new bytes.  That exposes the
 * step at which the budget ran out.
 */
struct bail_case {
    const char *name;
    int32_t level;
    int32_t cost_limit;
    int32_t length;
    int32_t bail_step;
};

const bail_case bail_cases[] = {
    {"budget 10 bails after step 11", 0, 10, 200, 11},
    /* Step 64 cuts the budget (progress 128 < 1024) and skips its check. */
    {"budget 63 survives step 64", 0, 63, 200, 65},
    {"budget 100 cut to 52 at step 64", 0, 100, 200, 65},
    {"level 3", 3, DEFAULT_COST, 200, 2},
    {"unknown level", 7, DEFAULT_COST, 200, 1},
    {"level 1 small", 1, DEFAULT_COST, 200, 65},       /* 64 */
    {"level 2 small", 2, DEFAULT_COST, 200, 17},       /* 16 */
    {"level 1 by length", 1, DEFAULT_COST, 2000, 309}, /* 500, four cuts */
    {"level 2 by length", 2, DEFAULT_COST, 2000, 78},  /* 125, one cut */
    {"level 1 by cost limit", 1, 100, 2000, 65},       /* 64 */
    {"level 2 by cost limit", 2, 300, 2000, 19},       /* 18 */
};

void expect_bail_after(const std::string &old_text, const std::string &new_text, int32_t level,
                       int32_t cost_limit, int32_t bail_step) {
    outcome got = run_diff(old_text, new_text, level, FULL_ALLOWANCE, cost_limit);
    int32_t n = static_cast<int32_t>(new_text.size());
    std::string last = "I(" + std::to_string(n - bail_step) + "," + std::to_string(bail_step) + ")";
    ASSERT_GE(got.events.size(), last.size());
    EXPECT_EQ(got.events.substr(0, 2), "D ");
    EXPECT_EQ(got.events.substr(got.events.size() - last.size()), last);
}

ENGINE_TEST(EngineEvents, SearchesBailAfterTheirBudget) {
    for (const bail_case &c : bail_cases) {
        SCOPED_TRACE(c.name);
        expect_bail_after(std::string(c.length, 'a'), std::string(c.length, 'b'), c.level,
                          c.cost_limit, c.bail_step);
    }
}

/* The same, after a 600-byte snake that the forward search takes in its
 * first step: progress 1200 + 2D passes the threshold D^1.5 at step 64
 * (1024) but not at step 128 (2048), so only the second check cuts. */
ENGINE_TEST(EngineEvents, ProgressRuleSparesAFastSearch) {
    std::string common;
    for (int i = 0; i < 600; i++) {
        common += static_cast<char>('c' + i * 7 % 23);
    }
    std::string old_text = "b" + common + std::string(200, 'a');
    std::string new_text = common + std::string(200, 'b');
    expect_bail_after(old_text, new_text, 0, 100, 101);
    expect_bail_after(old_text, new_text, 0, 127, 129); /* 127 - 48 < 129 */
    expect_bail_after(old_text, new_text, 0, 200, 153); /* 200 - 48 < 153 */
}

/* abcd against dcba meets in step 3, so it needs storage for 3 steps. */
ENGINE_TEST(EngineEvents, StorageAllowanceCapsTheSteps) {
    const struct {
        int32_t allowance;
        int32_t result;
    } cases[] = {{3, MYERS_REPLACE},     {6, MYERS_REPLACE},     {7, MYERS_REPLACE},
                 {10, MYERS_REPLACE},    {14, MYERS_REPLACE},    {15, COALLESCING_DELTA},
                 {2, COALLESCING_DELTA}, {-5, COALLESCING_DELTA}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.allowance);
        outcome got = run_diff("abcd", "dcba", 0, c.allowance);
        EXPECT_EQ(got.result, c.result);
        EXPECT_EQ(got.closes, c.result == MYERS_REPLACE ? 0 : 1);
    }
    /* A search that meets in step 1 never asks for more storage. */
    EXPECT_EQ(run_diff("c", "a", 0, 3).events, "D I(0,1)");
}

/* A false from any reporting call ends the comparison at once: nothing
 * further is reported and the coalescing script is not closed. */
ENGINE_TEST(EngineEvents, RefusedReportStopsEverything) {
    test_value old_value(std::string(300, 'a')), new_value(std::string(300, 'b'));
    engine_recorder full;
    active_recorder = &full;
    ASSERT_EQ(myers_binary_diff(&old_value.view, 0, 300, &new_value.view, 0, 300, nullptr,
                                FULL_ALLOWANCE, DEFAULT_COST, 3),
              COALLESCING_DELTA);
    const long total = static_cast<long>(full.calls.size());
    for (long fail_at : {0L, 1L, 2L, 7L, total / 2, total - 1}) {
        SCOPED_TRACE(fail_at);
        engine_recorder recorder;
        recorder.fail_at = fail_at;
        active_recorder = &recorder;
        EXPECT_EQ(myers_binary_diff(&old_value.view, 0, 300, &new_value.view, 0, 300, nullptr,
                                    FULL_ALLOWANCE, DEFAULT_COST, 3),
                  MYERS_REPLACE);
        EXPECT_EQ(recorder.closes, 0);
        ASSERT_EQ(static_cast<long>(recorder.calls.size()), fail_at);
        for (long i = 0; i < fail_at; i++) {
            EXPECT_EQ(recorder.calls[i].kind, full.calls[i].kind);
            EXPECT_EQ(recorder.calls[i].position, full.calls[i].position);
        }
    }
}

TEST(EngineEvents, RangesAreCheckedBeforeAnything) {
    test_value old_value("abc"), new_value("abd");
    const struct {
        int32_t old_offset, old_length, new_offset, new_length;
    } bad[] = {{-1, 1, 0, 3}, {0, -1, 0, 3}, {1, 3, 0, 3}, {INT32_MAX, 1, 0, 3},
               {0, 3, -1, 1}, {0, 3, 0, -1}, {0, 3, 3, 1}, {0, 3, 1, INT32_MAX}};
    for (const auto &r : bad) {
        engine_recorder recorder;
        active_recorder = &recorder;
        EXPECT_EQ(myers_binary_diff(&old_value.view, r.old_offset, r.old_length, &new_value.view,
                                    r.new_offset, r.new_length, nullptr, FULL_ALLOWANCE,
                                    DEFAULT_COST, 0),
                  MYERS_BAD_RANGE);
        EXPECT_TRUE(recorder.calls.empty());
        EXPECT_EQ(recorder.closes, 0);
    }
}

/* Positions are absolute; the coalescing script learns the range starts. */
TEST(EngineEvents, SubRangesReportAbsolutePositions) {
    test_value old_value("XXabcYY"), new_value("ZabQc");
    engine_recorder recorder;
    active_recorder = &recorder;
    edit_script script = {};
    ASSERT_EQ(myers_binary_diff(&old_value.view, 2, 3, &new_value.view, 1, 4, &script,
                                FULL_ALLOWANCE, DEFAULT_COST, 0),
              COALLESCING_DELTA);
    EXPECT_EQ(recorder.rendered(), "M(2,2) I(3,1) M(4,1)");
    EXPECT_EQ(recorder.closed.script, &script);
    EXPECT_EQ(recorder.closed.old_base, 2);
    EXPECT_EQ(recorder.closed.new_base, 1);
    EXPECT_EQ(recorder.closed.run_kind, COALLESCING_RUN_DELETE);
    EXPECT_EQ(recorder.closed.run_start, 0);
    EXPECT_EQ(recorder.closed.run_length, 0);
    EXPECT_TRUE(recorder.closed.single_run);
    EXPECT_EQ(recorder.closed_old_length, 3);
}

/* The gap between two frontiers: searched afresh, halved, or quartered. */
ENGINE_TEST(EngineEvents, BoundedDiffChoosesByGapSizeAndBudget) {
    const struct {
        const char *name;
        std::string old_text, new_text;
        int32_t old_offset, old_length, new_offset, new_length, reference, budget;
        const char *events;
    } cases[] = {
        {"8 x 4 at budget 0 is quartered", "QabcdefghQ", "QQwcdzQ", 1, 8, 2, 4, 100, 0,
         "I(2,1) D M(3,2) D I(5,1) D"},
        {"a 7-byte side is never searched", "abcdefgh", "bcdefgh", 0, 8, 0, 7, 100, 0,
         "I(0,1) D M(2,3) D I(4,3) D"},
        {"nor a 7-byte old side", "bcdefgh", "abcdefgh", 0, 7, 0, 8, 100, 0,
         "I(0,2) D M(1,3) I(5,1) I(6,2) D"},
        {"with budget left it is halved", "xxabcdzz", "abcd", 0, 8, 0, 4, 100, 2,
         "D M(2,2) M(4,2) D"},
        {"8 x 8 is searched even at budget 0", "abcdefgh", "bcdefghX", 0, 8, 0, 8, 8, 0,
         "D M(1,7) I(7,1)"},
        {"8 x 8 is searched at a negative budget", "abcdefgh", "bcdefghX", 0, 8, 0, 8, 8, -3,
         "D M(1,7) I(7,1)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        test_value old_value(c.old_text), new_value(c.new_text);
        engine_recorder recorder;
        active_recorder = &recorder;
        execution *e = execution_create(&old_value.view, &new_value.view, nullptr, FULL_ALLOWANCE,
                                        DEFAULT_COST);
        ASSERT_NE(e, nullptr);
        EXPECT_TRUE(execution_bounded_diff(e, c.old_offset, c.old_length, c.new_offset,
                                           c.new_length, c.reference, 0, c.budget));
        EXPECT_EQ(recorder.rendered(), c.events);
        execution_free(e);
    }
}

TEST(EngineHelpers, CheckBounds) {
    buf value = {nullptr, 10, 10};
    buf too_big = {nullptr, 0x80000000u, 0};
    buf wrapped = {nullptr, 0x100000005ull, 0};
    const struct {
        const buf *value;
        int32_t offset, length;
        bool ok;
    } cases[] = {{&value, 0, 10, true},  {&value, 10, 0, true},         {&value, 3, 7, true},
                 {&value, 0, 11, false}, {&value, 4, 7, false},         {&value, -1, 1, false},
                 {&value, 1, -1, false}, {&value, INT32_MAX, 1, false}, {&too_big, 0, 0, false},
                 {&wrapped, 0, 5, true}, {&wrapped, 0, 6, false},       {nullptr, 0, 0, false}};
    for (const auto &c : cases) {
        EXPECT_EQ(myers_binary_diff_check_bounds(c.value, c.offset, c.length), c.ok)
            << c.offset << " " << c.length;
    }
}

TEST(EngineHelpers, CornerAndBailoutLimit) {
    const int32_t corners[][3] = {{0, 0, 0}, {3, 5, 3}, {5, 5, 5}, {7, 5, 3}, {12, 5, -2}};
    for (const auto &c : corners) {
        EXPECT_EQ(myers_binary_diff_corner(c[0], c[1]), c[2]) << c[0] << " " << c[1];
        EXPECT_EQ(execution_search_corner(c[0], c[1]), c[2]) << c[0] << " " << c[1];
    }
    const int32_t limits[][4] = {
        {25599, 1, 0, 256},
        {25600, 1, 0, 256},
        {25700, 1, 0, 257},
        {100, 0, 0, 256},
        {1000, 1000000, 0, 640},
        {1000, 0, 1000000, 640},
        {-5, 1000, 1000, 256},
        /* Sizes near 2 GiB each: the int32 total wraps to -2, whose widened
         * bits estimate a cube root of 2^21. */
        {100, INT32_MAX, INT32_MAX, 2097152},
        /* The int32 product wraps to a negative figure: the floor. */
        {INT32_MAX, INT32_MAX, INT32_MAX, 256},
    };
    for (const auto &c : limits) {
        EXPECT_EQ(myers_binary_diff_bailout_limit(c[0], c[1], c[2]), c[3])
            << c[0] << " " << c[1] << " " << c[2];
    }
}

} // namespace
