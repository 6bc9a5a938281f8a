// bench_hash - throughput of crc64, the hash of checked deltas, on each
// path this processor runs, against memcpy of the same bytes in the same
// run.
//
// Two sizes: 64 MiB, which comes from memory as a checked patch's values
// do, and 256 KiB, which stays in cache as a small value's does.  The runs
// of every path and of the baseline alternate, and each figure is the
// median of the repeats, so that a slow phase of a shared machine lands on
// all of them alike.
//
// Usage: bench_hash [repeats]   (default 15)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_random.h"
#include "crc64.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t MIB = 1024 * 1024;
constexpr size_t KIB = 1024;
constexpr int DEFAULT_REPEATS = 15;
// Each timed sample covers at least this many bytes, so that the in-cache
// size is not lost in the timer's resolution.
constexpr size_t BYTES_PER_SAMPLE = 256 * MIB;

const char *path_name(int32_t path) {
    switch (path) {
    case CRC64_PATH_TABLE:
        return "crc64, table";
    case CRC64_PATH_CLMUL:
        return "crc64, 128-bit clmul";
    default:
        return "crc64, 512-bit clmul";
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Candidate {
    std::string name;
    int32_t path; // -1 for the memcpy baseline
    std::vector<double> samples;
};

void run_size(size_t size, int repeats) {
    std::vector<uint8_t> source(size), target(size);
    XorShift rng{size};
    for (size_t i = 0; i < size; i += 8) {
        uint64_t word = rng.next();
        memcpy(&source[i], &word, std::min<size_t>(8, size - i));
    }
    memcpy(target.data(), source.data(), size); // touch every page first
    size_t loops = std::max<size_t>(1, BYTES_PER_SAMPLE / size);

    std::vector<Candidate> candidates = {{"memcpy (baseline)", -1, {}}};
    for (int32_t path = 0; path < CRC64_PATHS; path++) {
        if (crc64_path_supported(path)) {
            candidates.push_back({path_name(path), path, {}});
        }
    }
    volatile uint64_t sink = 0;
    for (int r = 0; r < repeats; r++) {
        for (Candidate &c : candidates) {
            // The table path runs at well under 1 GB/s: fewer loops keep its
            // samples as long as the others'.
            size_t runs = c.path == CRC64_PATH_TABLE ? std::max<size_t>(1, loops / 16) : loops;
            if (c.path >= 0) {
                _crc64_force_path(c.path);
            }
            Clock::time_point start = Clock::now();
            for (size_t i = 0; i < runs; i++) {
                if (c.path < 0) {
                    memcpy(target.data(), source.data(), size);
                    sink = sink + target[i % size];
                } else {
                    sink = sink + crc64(source.data(), size);
                }
            }
            double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            c.samples.push_back(seconds / static_cast<double>(runs));
        }
    }
    _crc64_force_path(CRC64_PATH_AUTO);
    double base = median(candidates[0].samples);
    for (const Candidate &c : candidates) {
        double seconds = median(c.samples);
        printf("%-10s %-22s %8.2f GB/s %8.2fx memcpy's speed\n",
               size >= MIB ? (std::to_string(size / MIB) + " MiB").c_str()
                           : (std::to_string(size / KIB) + " KiB").c_str(),
               c.name.c_str(), static_cast<double>(size) / seconds / 1e9, base / seconds);
    }
}

} // namespace

int main(int argc, char **argv) {
    int repeats = argc > 1 ? std::max(1, atoi(argv[1])) : DEFAULT_REPEATS;
    printf("%-10s %-22s %13s %22s\n", "size", "run", "throughput", "speed");
    run_size(64 * MIB, repeats);
    run_size(256 * KIB, repeats);
    printf("speed: bytes per second as a multiple of memcpy's over the same bytes "
           "(median of %d alternated runs; automatic path: %s)\n",
           repeats, path_name(crc64_path()));
    return 0;
}
