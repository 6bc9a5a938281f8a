/*
 * The difference engine on large and hostile inputs: it must finish, keep
 * to a small call stack however deeply its splits nest, and report a
 * stream that rebuilds the new value.  The digests pin each stream to the
 * one the plain recursive formulation of the algorithm reports.
 */
#include <gtest/gtest.h>

#include <pthread.h>

#include <climits>
#include <string>
#include <vector>

#include "engine_recorder.h"
#include "myers_binary_diff.h"

namespace {

/* Deterministic bytes: xorshift64, reduced to `alphabet` symbols. */
std::vector<uint8_t> random_bytes(size_t n, uint64_t seed, unsigned alphabet) {
    std::vector<uint8_t> out(n);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint8_t &byte : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        byte = static_cast<uint8_t>((x >> 32) % alphabet);
    }
    return out;
}

std::vector<uint8_t> pattern_bytes(size_t n, const std::string &period) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; i++) {
        out[i] = static_cast<uint8_t>(period[i % period.size()]);
    }
    return out;
}

/* FNV-1a over every reporting call, zero lengths included. */
uint64_t digest(const std::vector<recorded_event> &calls) {
    uint64_t h = 0xCBF29CE484222325ull;
    auto mix = [&h](uint32_t v) {
        for (int i = 0; i < 4; i++) {
            h = (h ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
        }
    };
    for (const recorded_event &e : calls) {
        mix(static_cast<uint32_t>(e.kind));
        mix(static_cast<uint32_t>(e.position));
        mix(static_cast<uint32_t>(e.length));
    }
    return h;
}

/* Applies the stream: matches copy from the old value, insertions must
 * continue exactly where the new value has been rebuilt to. */
::testing::AssertionResult rebuilds(const std::vector<recorded_event> &calls,
                                    const std::vector<uint8_t> &old_bytes,
                                    const std::vector<uint8_t> &new_bytes) {
    std::vector<uint8_t> out;
    for (const recorded_event &e : calls) {
        if (e.kind == 'D' || e.length == 0) {
            continue;
        }
        if (e.length < 0) {
            return ::testing::AssertionFailure() << "negative length at " << e.position;
        }
        size_t start = static_cast<size_t>(e.position);
        size_t end = start + static_cast<size_t>(e.length);
        if (e.kind == 'M' && end <= old_bytes.size()) {
            out.insert(out.end(), old_bytes.begin() + start, old_bytes.begin() + end);
        } else if (e.kind == 'I' && start == out.size() && end <= new_bytes.size()) {
            out.insert(out.end(), new_bytes.begin() + start, new_bytes.begin() + end);
        } else {
            return ::testing::AssertionFailure()
                   << e.kind << "(" << e.position << "," << e.length << ") after " << out.size();
        }
    }
    if (out != new_bytes) {
        return ::testing::AssertionFailure() << "rebuilt " << out.size() << " bytes, wrong";
    }
    return ::testing::AssertionSuccess();
}

struct comparison {
    const test_value *old_value;
    const test_value *new_value;
    int32_t level;
    int32_t result;
};

void *compare_on_thread(void *argument) {
    comparison *c = static_cast<comparison *>(argument);
    c->result = myers_binary_diff(&c->old_value->view, 0, c->old_value->size(), &c->new_value->view,
                                  0, c->new_value->size(), nullptr, INT32_MAX, 10000, c->level);
    return nullptr;
}

/* Far less than the plain recursion needs for the deep cases below (over
 * ten thousand nested splits), ample for a loop. */
const size_t SMALL_STACK = 256 * 1024;

int32_t compare_with_small_stack(const test_value &old_value, const test_value &new_value,
                                 int32_t level) {
    comparison c = {&old_value, &new_value, level, INT32_MIN};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, SMALL_STACK);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, compare_on_thread, &c) == 0) {
        pthread_join(thread, nullptr);
    }
    pthread_attr_destroy(&attributes);
    return c.result;
}

struct stress_case {
    const char *name;
    std::vector<uint8_t> old_bytes;
    std::vector<uint8_t> new_bytes;
    int32_t level;
    size_t calls;
    uint64_t digest;
};

ENGINE_HEAVY_TEST(EngineStress, DeepSplitsRunOnASmallStackAndMatchTheRecursiveStreams) {
    const stress_case cases[] = {
        /* A long old value against a much shorter one: gap after gap is
         * searched afresh, each one nested inside the last. */
        {"random 200000 vs 50000, level 3", random_bytes(200000, 1, 256),
         random_bytes(50000, 2, 256), 3, 52183, 0x7690b68241ca7c45ull},
        {"random 200000 vs 20000, unknown level", random_bytes(200000, 3, 256),
         random_bytes(20000, 4, 256), 5, 19890, 0x1b41704880ae4430ull},
        {"alternating ab vs aab, level 3", pattern_bytes(300000, "ab"), pattern_bytes(30000, "aab"),
         3, 33347, 0x4b07d374efefaa6aull},
        {"alternating ab vs aabb, level 0", pattern_bytes(100000, "ab"),
         pattern_bytes(100000, "aabb"), 0, 133244, 0xaefe8bc38560ce87ull},
        {"binary random, level 0", random_bytes(30000, 5, 2), random_bytes(30000, 6, 2), 0, 37411,
         0x4531a8937024f79bull},
    };
    for (const stress_case &c : cases) {
        SCOPED_TRACE(c.name);
        test_value old_value(c.old_bytes), new_value(c.new_bytes);
        engine_recorder recorder;
        active_recorder = &recorder;
        ASSERT_EQ(compare_with_small_stack(old_value, new_value, c.level), COALLESCING_DELTA);
        EXPECT_TRUE(rebuilds(recorder.calls, c.old_bytes, c.new_bytes));
        EXPECT_EQ(recorder.calls.size(), c.calls);
        EXPECT_EQ(digest(recorder.calls), c.digest);
    }
}

/* Random against random is the engine's worst ordinary case: every search
 * runs out of budget.  Each level must finish with a complete stream. */
ENGINE_HEAVY_TEST(EngineStress, RandomDataFinishesAtEveryLevel) {
    const size_t size = 64 * 1024;
    test_value old_value(random_bytes(size, 7, 256)), new_value(random_bytes(size, 8, 256));
    for (int32_t level : {0, 1, 2, 3, 4, 5}) {
        SCOPED_TRACE(level);
        engine_recorder recorder;
        active_recorder = &recorder;
        EXPECT_EQ(compare_with_small_stack(old_value, new_value, level), COALLESCING_DELTA);
        EXPECT_TRUE(rebuilds(recorder.calls, old_value.bytes, new_value.bytes));
    }
}

} // namespace
