// Edit script: the literal-versus-copy choice, the budget charged per item,
// the byte-exact items written, and arithmetic near the 32-bit limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "edit_script.h"

namespace {

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

std::vector<uint8_t> output_of(const edit_script *script) {
    const buf *out = script->output;
    return out->len == 0 ? std::vector<uint8_t>{}
                         : std::vector<uint8_t>(out->data, out->data + out->len);
}

// Two values looked at through read-only records, as the driver sees them.
struct Values {
    std::vector<uint8_t> old_bytes, new_bytes;
    buf old_value{}, new_value{};
    explicit Values(size_t new_size, size_t old_size = 16)
        : old_bytes(pattern(old_size)), new_bytes(pattern(new_size)) {
        old_value = {old_bytes.data(), old_bytes.size(), old_bytes.size()};
        new_value = {new_bytes.data(), new_bytes.size(), new_bytes.size()};
    }
};

struct ScriptDeleter {
    void operator()(edit_script *script) const { edit_script_free(script); }
};
using Script = std::unique_ptr<edit_script, ScriptDeleter>;

Script make_script(const Values &values) {
    return Script(edit_script_create(&values.old_value, &values.new_value));
}

TEST(EditScriptCreate, StartsEmptyWithTheNewSizeAsBudget) {
    Values values(10);
    Script script = make_script(values);
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(script->insert_offset, -1);
    EXPECT_EQ(script->match_offset, -1);
    EXPECT_EQ(script->budget, 10);
    EXPECT_EQ(script->old_value, &values.old_value);
    EXPECT_EQ(script->new_value, &values.new_value);
    ASSERT_NE(script->output, nullptr);
    EXPECT_EQ(script->output->len, 0u);
    edit_script_free(nullptr);
}

TEST(EditScriptCreate, BudgetIsTheLow32BitsOfTheSize) {
    struct Case {
        uint64_t len;
        int32_t budget;
    } cases[] = {
        {0, 0},
        {2147483647, 2147483647},
        {2147483648ULL, INT32_MIN},
        {4294967296ULL + 7, 7},
    };
    uint8_t dummy = 0;
    for (const Case &c : cases) {
        buf value = {&dummy, c.len, c.len};
        edit_script *script = edit_script_create(&value, &value);
        ASSERT_NE(script, nullptr);
        EXPECT_EQ(script->budget, c.budget) << c.len;
        edit_script_free(script);
    }
    EXPECT_EQ(edit_script_create(nullptr, nullptr), nullptr);
}

// A match right after a pending insertion: its bytes join the insertion
// when the copy pair would cost at least as much as they do.
TEST(EditScriptMatch, ShortCopiesAfterAnInsertionBecomeLiteral) {
    struct Case {
        int32_t insert_length, offset, length;
        bool absorbed;
    } cases[] = {
        {4, 100, 2, true},     // copy 3, growth 2
        {4, 10, 2, true},      // copy 2, growth 2: tie goes to literal bytes
        {4, 10, 3, false},     // copy 2, growth 3
        {22, 1000, 2, true},   // copy 4, growth 2 + 2 - 1
        {22, 5, 2, false},     // copy 2, growth 3
        {1, 23, 2, true},      // offset 23 still has a one-byte head
        {1, 24, 2, true},      // copy 3
        {1, 23, 3, false},     // copy 2, growth 3
        {255, 0, 1, true},     // growth 1 + 3 - 2 = 2, copy 2
        {255, 0, 2, false},    // growth 3
        {65535, 0, 1, false},  // growth 1 + 5 - 3 = 3, copy 2
        {65535, 300, 1, true}, // copy 4
        {20, 70000, 4, true},  // copy 6, growth 4 + 2 - 1 = 5
        {20, 70000, 6, false}, // copy 6, growth 7
    };
    Values values(70000);
    for (const Case &c : cases) {
        Script script = make_script(values);
        ASSERT_TRUE(edit_script_insert(script.get(), 0, c.insert_length));
        ASSERT_TRUE(edit_script_match(script.get(), c.offset, c.length));
        std::string label = std::to_string(c.insert_length) + "+" + std::to_string(c.offset) + "/" +
                            std::to_string(c.length);
        EXPECT_EQ(script->insert_offset, 0) << label;
        if (c.absorbed) {
            EXPECT_EQ(script->insert_length, c.insert_length + c.length) << label;
            EXPECT_EQ(script->match_offset, -1) << label;
        } else {
            EXPECT_EQ(script->insert_length, c.insert_length) << label;
            EXPECT_EQ(script->match_offset, c.offset) << label;
            EXPECT_EQ(script->match_length, c.length) << label;
        }
        EXPECT_EQ(output_of(script.get()).size(), 0u) << label;
    }
}

// An insertion right after a pending copy: the copy is dropped in favour of
// its bytes in the new value when that costs no more than the copy pair.
TEST(EditScriptInsert, ShortCopiesBeforeAnInsertionBecomeLiteral) {
    struct Case {
        const char *name;
        int32_t earlier_insertion; // length of an insertion pending first, or 0
        int32_t copy_offset, copy_length, start, length;
        int32_t insert_offset, insert_length, match_offset;
        std::vector<uint8_t> output;
    } cases[] = {
        {"dropped", 0, 7, 1, 20, 3, 19, 4, -1, {}},
        {"kept and written", 0, 7, 5, 20, 3, 20, 3, -1, {0x07, 0x05}},
        {"long copy head", 0, 300, 2, 20, 3, 18, 5, -1, {}},
        // The merge is priced against a fresh insertion of 24 bytes, not
        // against the 22 already pending: 2 + 2 - 2 = 2 against a copy of 2.
        {"merged into the earlier", 22, 5, 2, 24, 24, 0, 48, -1, {}},
        {"earlier flushed with the copy",
         4,
         5,
         3,
         7,
         2,
         7,
         2,
         -1,
         {0x44, 0x01, 0x08, 0x0F, 0x16, 0x05, 0x03}},
    };
    Values values(100);
    for (const Case &c : cases) {
        Script script = make_script(values);
        if (c.earlier_insertion > 0) {
            ASSERT_TRUE(edit_script_insert(script.get(), 0, c.earlier_insertion));
        }
        ASSERT_TRUE(edit_script_match(script.get(), c.copy_offset, c.copy_length));
        ASSERT_EQ(script->match_offset, c.copy_offset) << c.name;
        ASSERT_TRUE(edit_script_insert(script.get(), c.start, c.length)) << c.name;
        EXPECT_EQ(script->insert_offset, c.insert_offset) << c.name;
        EXPECT_EQ(script->insert_length, c.insert_length) << c.name;
        EXPECT_EQ(script->match_offset, c.match_offset) << c.name;
        EXPECT_EQ(output_of(script.get()), c.output) << c.name;
    }
}

// Flushing charges head and content before writing and refuses an item
// that would take the budget to zero or below.
TEST(EditScriptClose, ChargesEachItemAndRefusesAtZero) {
    enum Op { INSERT, MATCH };
    struct Step {
        Op op;
        int32_t a, b;
    };
    struct Case {
        const char *name;
        size_t new_size;
        std::vector<Step> steps;
        bool closed;
        int32_t budget;
        size_t output_size;
        std::vector<uint8_t> output_prefix;
    } cases[] = {
        {"insertion of 8 in 10", 10, {{INSERT, 0, 8}}, true, 1, 9, {0x48, 0x01}},
        {"insertion of 9 in 10", 10, {{INSERT, 0, 9}}, false, 0, 0, {}},
        {"copy in 3", 3, {{MATCH, 0, 3}}, true, 1, 2, {0x00, 0x03}},
        {"copy in 2", 2, {{MATCH, 0, 2}}, false, 0, 0, {}},
        {"two-byte heads", 300, {{MATCH, 256, 44}}, true, 295, 5, {0x19, 0x01, 0x00, 0x18, 0x2C}},
        {"insertion of 24", 30, {{INSERT, 0, 24}}, true, 4, 26, {0x58, 0x18, 0x01}},
        {"copy then insertion",
         30,
         {{MATCH, 9, 20}, {INSERT, 20, 4}},
         true,
         30 - 2 - 5,
         7,
         {0x09, 0x14, 0x44}},
        {"nothing pending", 5, {}, true, 5, 0, {}},
        // The first copy fits, the second is refused when the third arrives.
        {"refused midway",
         4,
         {{MATCH, 0, 3}, {MATCH, 40, 3}, {MATCH, 80, 3}},
         false,
         -1,
         2,
         {0x00, 0x03}},
    };
    for (const Case &c : cases) {
        Values values(c.new_size, 100);
        Script script = make_script(values);
        // After a refusal the script is not used any more, not even closed.
        bool closed = true;
        for (const Step &step : c.steps) {
            closed = step.op == INSERT ? edit_script_insert(script.get(), step.a, step.b)
                                       : edit_script_match(script.get(), step.a, step.b);
            if (!closed)
                break;
        }
        closed = closed && edit_script_close(script.get());
        EXPECT_EQ(closed, c.closed) << c.name;
        EXPECT_EQ(script->budget, c.budget) << c.name;
        std::vector<uint8_t> out = output_of(script.get());
        EXPECT_EQ(out.size(), c.output_size) << c.name;
        ASSERT_GE(out.size(), c.output_prefix.size()) << c.name;
        EXPECT_TRUE(std::equal(c.output_prefix.begin(), c.output_prefix.end(), out.begin()))
            << c.name;
    }
}

TEST(EditScriptClose, InsertedBytesComeFromTheNewValue) {
    Values values(40);
    Script script = make_script(values);
    ASSERT_TRUE(edit_script_insert(script.get(), 10, 3));
    ASSERT_TRUE(edit_script_close(script.get()));
    std::vector<uint8_t> expected = {0x43, values.new_bytes[10], values.new_bytes[11],
                                     values.new_bytes[12]};
    EXPECT_EQ(output_of(script.get()), expected);
    EXPECT_EQ(script->insert_offset, -1);
}

// Charges and merged lengths near 2147483647 are computed without
// overflow and keep the figures that exact arithmetic gives.
TEST(EditScriptLimits, HugeLengthsDoNotOverflow) {
    uint8_t dummy[8] = {0};
    buf huge = {dummy, 2147483647, 2147483647};
    struct Case {
        const char *name;
        int32_t first_length, second_length;
        bool second_accepted;
        int32_t budget_after_close; // only checked when both were accepted
    } cases[] = {
        {"charge just past the budget", 2147483647 - 4, 0, true, -1},
        {"charge of the largest insertion", 2147483647, 0, true, -5},
        {"merged length past 32 bits", 2147483647, 10, false, 0},
        {"merged length at 32 bits", 2147483637, 10, true, -5},
    };
    for (const Case &c : cases) {
        edit_script *script = edit_script_create(&huge, &huge);
        ASSERT_TRUE(edit_script_insert(script, 0, c.first_length)) << c.name;
        bool accepted =
            c.second_length == 0 || edit_script_insert(script, c.first_length, c.second_length);
        EXPECT_EQ(accepted, c.second_accepted) << c.name;
        if (accepted) {
            EXPECT_FALSE(edit_script_close(script)) << c.name;
            EXPECT_EQ(script->budget, c.budget_after_close) << c.name;
        }
        EXPECT_EQ(script->output->len, 0u) << c.name;
        edit_script_free(script);
    }
}

// Regression: a dropped copy at the very start of the new value would put
// the insertion at -1, the marker for "none pending", and its bytes would be
// lost silently.  Such a report cannot come from a real comparison and is
// refused instead.
TEST(EditScriptLimits, InsertionBeforeTheNewValueIsRefused) {
    Values values(20);
    Script script = make_script(values);
    ASSERT_TRUE(edit_script_match(script.get(), 7, 1));
    EXPECT_FALSE(edit_script_insert(script.get(), 0, 3));
}

TEST(EditScriptLimits, InsertionBeyondTheNewValueIsNotRead) {
    struct Case {
        int32_t start, length;
    } cases[] = {{18, 3}, {21, 0}, {0, 21}};
    Values values(20);
    for (const Case &c : cases) {
        Script script = make_script(values);
        script->budget = 1000;
        ASSERT_TRUE(edit_script_insert(script.get(), c.start, c.length));
        EXPECT_FALSE(edit_script_close(script.get())) << c.start << "/" << c.length;
        EXPECT_EQ(script->output->len, 0u);
    }
}

} // namespace

namespace {

// An item that cannot be appended to the output fails the operation, so the
// driver falls back to the replacement delta instead of sending a delta
// with an item missing.  A length at the top of the 64-bit range makes the
// append fail without any allocation being tried.
TEST(EditScriptFailure, AnItemThatCannotBeAppendedFailsTheFlush) {
    struct Case {
        const char *name;
        bool insert;
    } cases[] = {{"insertion", true}, {"copy", false}};
    Values values(40);
    for (const Case &c : cases) {
        Script script = make_script(values);
        ASSERT_TRUE(c.insert ? edit_script_insert(script.get(), 0, 3)
                             : edit_script_match(script.get(), 5, 30));
        script->output->len = UINT64_MAX - 1;
        EXPECT_FALSE(edit_script_close(script.get())) << c.name;
        EXPECT_EQ(script->output->len, UINT64_MAX - 1) << c.name;
        script->output->len = 0;
    }
}

} // namespace
