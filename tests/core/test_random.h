/*
 * test_random.h - the generated tests' deterministic inputs: a xorshift
 * generator, so that a failing pair is the same pair on every run.
 */
#ifndef TOVAREL_TESTS_TEST_RANDOM_H
#define TOVAREL_TESTS_TEST_RANDOM_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct generator {
    uint64_t state;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    /* n bytes drawn from the first `alphabet` letters from 'a' on. */
    std::vector<uint8_t> noise(size_t n, unsigned alphabet) {
        std::vector<uint8_t> out(n);
        for (uint8_t &byte : out) {
            byte = static_cast<uint8_t>('a' + next() % alphabet);
        }
        return out;
    }
};

#endif /* TOVAREL_TESTS_TEST_RANDOM_H */
