/*
 * bench_engine - throughput of the difference engine alone, at every
 * quality level, for a few typical and hostile pairs.  The coalescing
 * script and edit script are the real ones; only the engine's result code
 * and the wall time are reported.
 */
#include <chrono>
#include <climits>
#include <cstdio>
#include <vector>

#include "edit_script.h"
#include "myers_binary_diff.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes noise(size_t n, uint32_t seed) {
    bytes out(n);
    for (uint8_t &b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return out;
}

/* The old value with one byte in every `gap` changed. */
bytes sprinkled(const bytes &old_value, size_t gap) {
    bytes out = old_value;
    for (size_t i = gap / 2; i < out.size(); i += gap) {
        out[i] ^= 0x5A;
    }
    return out;
}

void run(const char *name, const bytes &old_value, const bytes &new_value) {
    buf old_view = {const_cast<uint8_t *>(old_value.data()), old_value.size(), old_value.size()};
    buf new_view = {const_cast<uint8_t *>(new_value.data()), new_value.size(), new_value.size()};
    for (int32_t level = 0; level <= 4; level++) {
        edit_script *script = edit_script_create(&old_view, &new_view);
        auto start = std::chrono::steady_clock::now();
        int32_t result = myers_binary_diff(&old_view, 0, static_cast<int32_t>(old_value.size()),
                                           &new_view, 0, static_cast<int32_t>(new_value.size()),
                                           script, INT32_MAX, 10000, level);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double megabytes = static_cast<double>(old_value.size() + new_value.size()) / 1e6;
        printf("%-28s level %d  result %d  %8.3f ms  %9.1f MB/s  delta %llu bytes\n", name, level,
               result, seconds * 1e3, megabytes / seconds,
               static_cast<unsigned long long>(result == 0 ? script->output->len : 0));
        edit_script_free(script);
    }
}

} // namespace

int main() {
    const bytes base = noise(1 << 20, 1);
    run("1 MiB, equal", base, base);
    run("1 MiB, 1 byte in 4096", base, sprinkled(base, 4096));
    run("1 MiB, 1 byte in 64", base, sprinkled(base, 64));
    run("64 KiB random vs random", noise(1 << 16, 2), noise(1 << 16, 3));
    run("1 MiB vs 100 KiB random", base, noise(100000, 4));
    return 0;
}
