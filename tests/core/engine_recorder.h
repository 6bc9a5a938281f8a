/*
 * engine_recorder.h - stands in for the coalescing script in the engine's
 * tests: it records the event stream instead of building a delta.
 *
 * Include it in exactly one source of a test executable.  Its definitions
 * of the coalescing script's operations take precedence over the static
 * core library's, so the engine under test is the unchanged production
 * code.  Every call is recorded; the rendered stream shows the calls that
 * change anything (non-zero lengths, and all deletions).
 *
 * ENGINE_TEST defines a test that runs once on every search path this
 * processor has, the plain one first; ENGINE_HEAVY_TEST one that runs on
 * fewer of them under the sanitizers.
 */
#ifndef TOVAREL_TESTS_ENGINE_RECORDER_H
#define TOVAREL_TESTS_ENGINE_RECORDER_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "buf.h"
#include "coallescing_script.h"
#include "execution_search.h"

struct recorded_event {
    char kind; /* 'M' match, 'I' insertion, 'D' deletion */
    int32_t position;
    int32_t length;
};

struct engine_recorder {
    std::vector<recorded_event> calls;
    long fail_at = -1; /* index of the reporting call that returns false */
    int closes = 0;
    coallescing_script closed = {};
    int32_t closed_old_length = -1;

    bool record(char kind, int32_t position, int32_t length) {
        if (fail_at == static_cast<long>(calls.size())) {
            return false;
        }
        calls.push_back({kind, position, length});
        return true;
    }

    /* The stream as "D M(3,1) I(1,3)", without calls that change nothing. */
    std::string rendered() const {
        std::string out;
        for (const recorded_event &e : calls) {
            if (e.kind != 'D' && e.length == 0) {
                continue;
            }
            out += out.empty() ? "" : " ";
            out += e.kind;
            if (e.kind != 'D') {
                out += "(" + std::to_string(e.position) + "," + std::to_string(e.length) + ")";
            }
        }
        return out;
    }
};

inline engine_recorder *active_recorder = nullptr;

extern "C" {
bool coallescing_script_match(coallescing_script *, int32_t position, int32_t length) {
    return active_recorder->record('M', position, length);
}
bool coallescing_script_insert(coallescing_script *, int32_t position, int32_t length) {
    return active_recorder->record('I', position, length);
}
bool coallescing_script_delete(coallescing_script *) {
    return active_recorder->record('D', 0, 0);
}
int32_t coallescing_script_close(coallescing_script *cs, int32_t old_length, int32_t) {
    active_recorder->closes++;
    active_recorder->closed = *cs;
    active_recorder->closed_old_length = old_length;
    return COALLESCING_DELTA;
}
}

/* A byte buffer over a copy of `bytes`, allocated at its exact size so that
 * the address sanitizer sees any read past either end. */
struct test_value {
    std::vector<uint8_t> bytes;
    buf view;

    explicit test_value(const std::string &text) : bytes(text.begin(), text.end()) {
        view = {bytes.empty() ? nullptr : bytes.data(), bytes.size(), bytes.size()};
    }
    explicit test_value(std::vector<uint8_t> data) : bytes(std::move(data)) {
        view = {bytes.empty() ? nullptr : bytes.data(), bytes.size(), bytes.size()};
    }
    test_value(const test_value &) = delete;
    test_value &operator=(const test_value &) = delete;
    int32_t size() const { return static_cast<int32_t>(bytes.size()); }
};

#if defined(__SANITIZE_ADDRESS__)
#define ENGINE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ENGINE_SANITIZED 1
#endif
#endif
#ifndef ENGINE_SANITIZED
#define ENGINE_SANITIZED 0
#endif

/* Runs `body` once per search path this processor has (under the
 * sanitizers, when `heavy`, only the plain and the automatic one: the
 * differential test covers the rest there), then goes back to the
 * automatic choice. */
template <class Body> void on_every_search_path(Body body, bool heavy) {
    for (int32_t path = EXECUTION_SEARCH_PLAIN; path < EXECUTION_SEARCH_PATHS; path++) {
        bool wanted = !(heavy && ENGINE_SANITIZED) || path == EXECUTION_SEARCH_PLAIN ||
                      path == execution_search_path();
        if (wanted && _execution_search_force_path(path)) {
            SCOPED_TRACE("search path " + std::to_string(path));
            body();
        }
        _execution_search_force_path(EXECUTION_SEARCH_AUTO);
    }
}

#define ENGINE_TEST_ON_PATHS(suite, name, heavy)                                                   \
    void suite##_##name##_on_one_path();                                                           \
    TEST(suite, name) {                                                                            \
        on_every_search_path(suite##_##name##_on_one_path, heavy);                                 \
    }                                                                                              \
    void suite##_##name##_on_one_path()
#define ENGINE_TEST(suite, name) ENGINE_TEST_ON_PATHS(suite, name, false)
#define ENGINE_HEAVY_TEST(suite, name) ENGINE_TEST_ON_PATHS(suite, name, true)

#endif /* TOVAREL_TESTS_ENGINE_RECORDER_H */
