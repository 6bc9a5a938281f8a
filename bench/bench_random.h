// bench_random.h - the benchmarks' deterministic bytes: a xorshift generator,
// so that every run of a benchmark sees the same inputs and runs compare
// with each other.
#ifndef TOVAREL_BENCH_RANDOM_H
#define TOVAREL_BENCH_RANDOM_H

#include <cstdint>

struct XorShift {
    uint64_t state;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

#endif // TOVAREL_BENCH_RANDOM_H
