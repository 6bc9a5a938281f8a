// Coalescing script: runs merged from the engine's events, handed over to a
// real edit script, and the outcome decided at close, byte-exact.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "coallescing_script.h"

namespace {

enum Kind { MATCH, INSERT, DELETE };

struct Event {
    Kind kind;
    int32_t position, length;
};

struct Case {
    const char *name;
    std::vector<uint8_t> new_bytes;
    int32_t old_length;
    std::vector<Event> events;
    int first_false; // index of the event that returns false, or -1
    int32_t close_code;
    std::vector<uint8_t> output;
    int32_t old_base = 0, new_base = 0;
};

std::vector<uint8_t> counting(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

std::vector<uint8_t> with_byte(std::vector<uint8_t> bytes, size_t at, uint8_t value) {
    bytes[at] = value;
    return bytes;
}

coallescing_script fresh(edit_script *script, int32_t old_base, int32_t new_base) {
    return coallescing_script{script, old_base, new_base, COALLESCING_RUN_DELETE, 0, 0, true};
}

bool report(coallescing_script *cs, const Event &event) {
    switch (event.kind) {
    case MATCH:
        return coallescing_script_match(cs, event.position, event.length);
    case INSERT:
        return coallescing_script_insert(cs, event.position, event.length);
    default:
        return coallescing_script_delete(cs);
    }
}

struct Outcome {
    int first_false = -1;
    int32_t close_code = -1;
    std::vector<uint8_t> output;
    int32_t budget = 0;
};

// Feeds the events through a coalescing script into an edit script over a
// new value of `new_bytes`; close only when every event was accepted.
Outcome run(const Case &c) {
    std::vector<uint8_t> old_bytes(static_cast<size_t>(c.old_length) + 1, 0xEE);
    buf old_value = {old_bytes.data(), static_cast<uint64_t>(c.old_length), old_bytes.size()};
    buf new_value = {const_cast<uint8_t *>(c.new_bytes.data()), c.new_bytes.size(),
                     c.new_bytes.size()};
    edit_script *script = edit_script_create(&old_value, &new_value);
    coallescing_script cs = fresh(script, c.old_base, c.new_base);
    Outcome outcome;
    for (size_t i = 0; i < c.events.size() && outcome.first_false < 0; i++) {
        if (!report(&cs, c.events[i]))
            outcome.first_false = static_cast<int>(i);
    }
    if (outcome.first_false < 0)
        outcome.close_code = coallescing_script_close(&cs, c.old_length, 0);
    const buf *out = script->output;
    if (out->len > 0)
        outcome.output.assign(out->data, out->data + out->len);
    outcome.budget = script->budget;
    edit_script_free(script);
    return outcome;
}

TEST(CoallescingScript, OutcomesAndItems) {
    std::vector<uint8_t> hundred = counting(100);
    std::vector<uint8_t> twenty = counting(20);
    std::vector<Case> cases = {
        {"only a match of the whole old range", twenty, 20, {{MATCH, 0, 20}}, -1, 2, {}},
        {"match pieces merge into the whole range",
         twenty,
         20,
         {{MATCH, 0, 5}, {MATCH, 5, 15}},
         -1,
         2,
         {}},
        {"deletions then one insert run",
         twenty,
         5,
         {{DELETE, 0, 0}, {INSERT, 0, 12}, {DELETE, 0, 0}, {INSERT, 12, 8}},
         -1,
         1,
         {}},
        {"only deletions", twenty, 7, {{DELETE, 0, 0}, {DELETE, 0, 0}}, -1, 0, {}},
        {"no event, empty old range", {}, 0, {}, -1, 2, {}},
        {"no event, non-empty old range", twenty, 3, {}, -1, 0, {}},
        {"first byte dropped",
         counting(10),
         11,
         {{DELETE, 0, 0}, {MATCH, 1, 10}},
         -1,
         0,
         {0x01, 0x0A}},
        {"match shorter than the old range", twenty, 30, {{MATCH, 0, 20}}, -1, 0, {0x00, 0x14}},
        {"empty events are ignored, first too",
         twenty,
         20,
         {{MATCH, 0, 0}, {INSERT, 0, 0}, {INSERT, 3, -2}, {MATCH, 0, 20}, {MATCH, 20, 0}},
         -1,
         2,
         {}},
        {"a deletion splits copies",
         twenty,
         30,
         {{MATCH, 0, 10}, {DELETE, 0, 0}, {MATCH, 20, 10}},
         -1,
         0,
         {0x00, 0x0A, 0x14, 0x0A}},
        {"insertion, deletion, insertion make one string",
         twenty,
         20,
         {{MATCH, 0, 10}, {INSERT, 10, 2}, {DELETE, 0, 0}, {INSERT, 12, 3}, {MATCH, 15, 5}},
         -1,
         0,
         {0x00, 0x0A, 0x45, 10, 11, 12, 13, 14, 0x0F, 0x05}},
        {"the whole 100-byte comparison",
         with_byte(hundred, 50, 0xFF),
         100,
         {{MATCH, 0, 50}, {DELETE, 0, 0}, {INSERT, 50, 1}, {MATCH, 51, 49}},
         -1,
         0,
         {0x00, 0x18, 0x32, 0x41, 0xFF, 0x18, 0x33, 0x18, 0x31}},
        {"positions are taken relative to the bases",
         twenty,
         20,
         {{MATCH, 40, 20}},
         -1,
         2,
         {},
         40,
         7},
        {"insert runs relative to the new base",
         twenty,
         15,
         {{MATCH, 100, 10}, {INSERT, 17, 3}, {MATCH, 110, 5}},
         -1,
         0,
         {0x00, 0x0A, 0x43, 0x0A, 0x0B, 0x0C, 0x0A, 0x05},
         100,
         7},
        // A copy followed by an insertion folds into one string of 2 bytes,
        // which costs 3 of a budget of 2.
        {"budget exhausted at close", counting(2), 2, {{MATCH, 0, 1}, {INSERT, 1, 1}}, -1, 1, {}},
        // Each deletion hands a copy over; the third flushes the second
        // copy, which no longer fits the 3-byte budget.
        {"budget exhausted by a deletion",
         counting(3),
         12,
         {{MATCH, 0, 1},
          {DELETE, 0, 0},
          {MATCH, 5, 1},
          {DELETE, 0, 0},
          {MATCH, 9, 1},
          {DELETE, 0, 0}},
         5,
         -1,
         {0x00, 0x01}},
        {"position before the old base", twenty, 20, {{MATCH, 3, 20}}, 0, -1, {}, 4, 0},
        {"run longer than 32 bits",
         twenty,
         20,
         {{INSERT, 0, 2147483647}, {INSERT, 0, 1}},
         1,
         -1,
         {}},
    };
    for (const Case &c : cases) {
        Outcome outcome = run(c);
        EXPECT_EQ(outcome.first_false, c.first_false) << c.name;
        EXPECT_EQ(outcome.close_code, c.close_code) << c.name;
        EXPECT_EQ(outcome.output, c.output) << c.name;
    }
}

TEST(CoallescingScript, HundredByteComparisonEndsWithBudget91) {
    Case c = {"",  with_byte(counting(100), 50, 0xFF),
              100, {{MATCH, 0, 50}, {DELETE, 0, 0}, {INSERT, 50, 1}, {MATCH, 51, 49}},
              -1,  0,
              {}};
    EXPECT_EQ(run(c).budget, 91);
}

// The state table: which run is open after each event, and when
// single_run is cleared.
TEST(CoallescingScript, RunStates) {
    struct Step {
        Event event;
        int32_t kind, start, length;
        bool single;
    };
    uint8_t bytes[64] = {0};
    buf value = {bytes, sizeof bytes, sizeof bytes};
    edit_script *script = edit_script_create(&value, &value);
    coallescing_script cs = fresh(script, 0, 0);
    const Step steps[] = {
        {{DELETE, 0, 0}, COALLESCING_RUN_DELETE, 0, 0, true},
        {{INSERT, 0, 4}, COALLESCING_RUN_INSERT, 0, 4, true},
        {{DELETE, 0, 0}, COALLESCING_RUN_INSERT, 0, 4, true},
        {{INSERT, 4, 2}, COALLESCING_RUN_INSERT, 0, 6, true},
        {{MATCH, 30, 3}, COALLESCING_RUN_MATCH, 30, 3, false},
        {{MATCH, 33, 1}, COALLESCING_RUN_MATCH, 30, 4, false},
        {{INSERT, 10, 5}, COALLESCING_RUN_INSERT, 10, 5, false},
        {{MATCH, 40, 2}, COALLESCING_RUN_MATCH, 40, 2, false},
        {{DELETE, 0, 0}, COALLESCING_RUN_DELETE, 40, 2, false},
        {{DELETE, 0, 0}, COALLESCING_RUN_DELETE, 40, 2, false},
        {{MATCH, 50, 1}, COALLESCING_RUN_MATCH, 50, 1, false},
    };
    for (const Step &step : steps) {
        ASSERT_TRUE(report(&cs, step.event));
        EXPECT_EQ(cs.run_kind, step.kind);
        EXPECT_EQ(cs.run_start, step.start);
        EXPECT_EQ(cs.run_length, step.length);
        EXPECT_EQ(cs.single_run, step.single);
    }
    edit_script_free(script);
}

} // namespace
