/*
 * The index method's fast candidate checks against its plain ones, over
 * generated pairs: the deltas must be the same bytes.  The material is
 * chosen to reach every branch of the checks: text made of a small
 * vocabulary (deep chains, short matches, pending copies taken over),
 * small alphabets, runs of one byte, moved and repeated blocks, and
 * indexes small enough to be sampled.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "buf.h"
#include "diff_index.h"
#include "test_random.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
const int PAIRS = 1000;
#else
const int PAIRS = 3000;
#endif

using bytes = std::vector<uint8_t>;

/* Words of a small vocabulary, so that every window repeats often. */
bytes text(generator &g, size_t length) {
    static const char *const words[] = {"def ",   "self.", "return ", "    ",   "None",
                                        "(self)", ":\n",   "if ",     "else",   "typing",
                                        "_name",  ", ",    "\"\"\"",  "import", "class ",
                                        "T",      "args",  "kwds",    "\n\n",   "raise "};
    bytes out;
    while (out.size() < length) {
        const char *word = words[g.below(sizeof words / sizeof words[0])];
        out.insert(out.end(), word, word + strlen(word));
    }
    out.resize(length);
    return out;
}

/* Noise over the alphabet, or for an alphabet of one a run of zeros. */
bytes noise(generator &g, size_t length, unsigned alphabet) {
    return alphabet == 1 ? bytes(length, 0) : g.noise(length, alphabet);
}

/* The new value: the old one under a few edits of every kind. */
bytes edit(generator &g, bytes value) {
    size_t edits = 1 + g.below(40);
    for (size_t e = 0; e < edits && !value.empty(); e++) {
        size_t at = g.below(value.size());
        size_t count = 1 + g.below(g.below(8) == 0 ? 600 : 24);
        count = count < value.size() - at ? count : value.size() - at;
        bytes block(value.begin() + static_cast<long>(at),
                    value.begin() + static_cast<long>(at + count));
        switch (g.below(5)) {
        case 0: /* insert fresh text */ {
            bytes fresh = text(g, count);
            value.insert(value.begin() + static_cast<long>(at), fresh.begin(), fresh.end());
            break;
        }
        case 1:
            value.erase(value.begin() + static_cast<long>(at),
                        value.begin() + static_cast<long>(at + count));
            break;
        case 2: /* replace bytes */
            for (size_t i = at; i < at + count; i++) {
                value[i] = static_cast<uint8_t>(g.next());
            }
            break;
        case 3: /* move the block */ {
            value.erase(value.begin() + static_cast<long>(at),
                        value.begin() + static_cast<long>(at + count));
            size_t to = g.below(value.size() + 1);
            value.insert(value.begin() + static_cast<long>(to), block.begin(), block.end());
            break;
        }
        default: /* repeat the block */ {
            size_t to = g.below(value.size() + 1);
            value.insert(value.begin() + static_cast<long>(to), block.begin(), block.end());
        }
        }
    }
    return value;
}

bytes delta(const bytes &old_bytes, const bytes &new_bytes, uint64_t allowance) {
    buf old_value{const_cast<uint8_t *>(old_bytes.data()), old_bytes.size(), old_bytes.size()};
    buf new_value{const_cast<uint8_t *>(new_bytes.data()), new_bytes.size(), new_bytes.size()};
    buf *result = diff_index_generate_binary_ex(&old_value, &new_value, allowance);
    EXPECT_NE(result, nullptr);
    bytes out = result ? bytes(result->data, result->data + result->len) : bytes();
    buf_free(result);
    return out;
}

TEST(DiffIndexChecks, FastChecksGiveThePlainDeltas) {
    generator g{0x9E3779B97F4A7C15ULL};
    static const unsigned alphabets[] = {1, 2, 4, 26};
    for (int pair = 0; pair < PAIRS; pair++) {
        size_t length = 1 + g.below(g.below(10) == 0 ? 60000 : 3000);
        bytes old_bytes =
            g.below(3) == 0 ? noise(g, length, alphabets[g.below(4)]) : text(g, length);
        bytes new_bytes = edit(g, old_bytes);
        /* Now and then an allowance small enough to sample the index. */
        uint64_t allowance = g.below(4) == 0 ? 16 + g.below(4096) : 0;
        _diff_index_force_plain(true);
        bytes plain = delta(old_bytes, new_bytes, allowance);
        _diff_index_force_plain(false);
        bytes fast = delta(old_bytes, new_bytes, allowance);
        ASSERT_EQ(fast, plain) << "pair " << pair << ", old " << old_bytes.size() << " bytes, new "
                               << new_bytes.size() << ", allowance " << allowance;
    }
}

} // namespace
