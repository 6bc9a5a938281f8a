// bench_cbor_float - the float width found from the bits (cbor_float_item)
// against cbor_write_float, which proves its width by decoding the narrower
// candidates: a long sweep of random doubles that must all agree, and the
// time each method takes per value, as a ratio measured in the same run.
//
// Usage: bench_cbor_float [count]   (default 100,000,000 doubles; exits 1
// at the first disagreement)
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "../tests/core/cbor_test_support.h" /* the tests' random doubles */
#include "cbor_generator.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t DEFAULT_COUNT = 100000000;
constexpr size_t TIMED_COUNT = 2000000;
constexpr uint64_t GENERATOR_RESET = 1 << 20;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/* Seconds a value that write takes, over the values given. */
template <typename Write> double per_value(const std::vector<double> &values, Write write) {
    const Clock::time_point start = Clock::now();
    for (double value : values) {
        write(value);
    }
    return seconds_since(start) / static_cast<double>(values.size());
}

} // namespace

int main(int argc, char **argv) {
    const uint64_t count = argc > 1 ? strtoull(argv[1], nullptr, 10) : DEFAULT_COUNT;
    std::mt19937_64 random(20261208);

    std::vector<double> values(TIMED_COUNT);
    for (uint64_t i = 0; i < TIMED_COUNT; i++) {
        values[i] = random_double(random, i);
    }
    cbor_generator *generator = cbor_generator_create();
    const double proof = per_value(values, [&](double value) {
        if (generator->len > GENERATOR_RESET) {
            cbor_generator_free(generator);
            generator = cbor_generator_create();
        }
        cbor_write_float(generator, value);
    });
    uint8_t item[9];
    uint64_t sink = 0;
    const double bits = per_value(
        values, [&](double value) { sink += static_cast<uint64_t>(cbor_float_item(value, item)); });

    const Clock::time_point sweep = Clock::now();
    for (uint64_t round = 0; round < count; round++) {
        if (generator->len > GENERATOR_RESET) {
            cbor_generator_free(generator);
            generator = cbor_generator_create();
        }
        const double value = random_double(random, round);
        const uint64_t before = generator->len;
        if (cbor_write_float(generator, value) < 0) {
            fprintf(stderr, "cbor_write_float failed\n");
            return 1;
        }
        const int length = cbor_float_item(value, item);
        if (static_cast<uint64_t>(length) != generator->len - before ||
            memcmp(item, generator->data + before, static_cast<size_t>(length)) != 0) {
            fprintf(stderr, "disagreement at round %llu: %a\n",
                    static_cast<unsigned long long>(round), value);
            return 1;
        }
    }
    cbor_generator_free(generator);
    printf("%llu random doubles agree (%.1f s).  Per value: decoding proof %.1f ns, bits %.2f "
           "ns (%.0fx) [%llu]\n",
           static_cast<unsigned long long>(count), seconds_since(sweep), proof * 1e9, bits * 1e9,
           proof / bits, static_cast<unsigned long long>(sink % 2));
    return 0;
}
