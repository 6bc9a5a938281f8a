// bench_delta - throughput and delta size of diff_generate_binary on a few
// typical workloads, at quality levels 0 (thorough) and 4 (prefix and
// suffix only).
//
// Each case runs several times and reports the median.  A baseline measured
// in the same run (a copy of both values, the least any delta generator
// must do with the bytes) lets the figures be quoted as ratios that carry
// across machines better than raw MB/s.  Throughput counts the old and the new
// value together.
//
// Usage: bench_delta [repeats]   (default 5; the 64 MiB case runs 3 times)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_random.h"
#include "diff_generate.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr size_t MIB = 1024 * 1024;
constexpr int LARGE_CASE_REPEATS = 3;

// Utilisation figures that make the driver choose level 0 and level 4.
constexpr int32_t IDLE_FIGURE = 0;
constexpr int32_t BUSY_FIGURE = 256;

Bytes random_bytes(size_t size, uint64_t seed) {
    XorShift rng{seed};
    Bytes bytes(size);
    for (size_t i = 0; i < size; i += 8) {
        uint64_t word = rng.next();
        memcpy(&bytes[i], &word, std::min<size_t>(8, size - i));
    }
    return bytes;
}

// `edits` one-byte changes at evenly spread, slightly jittered positions.
Bytes with_edits(Bytes bytes, size_t edits, uint64_t seed) {
    XorShift rng{seed};
    size_t stride = bytes.size() / edits;
    for (size_t i = 0; i < edits; i++) {
        size_t at = i * stride + rng.next() % stride;
        bytes[at] = static_cast<uint8_t>(bytes[at] + 1 + rng.next() % 255);
    }
    return bytes;
}

buf view(const Bytes &bytes) {
    return buf{const_cast<uint8_t *>(bytes.data()), bytes.size(), bytes.size()};
}

double median_seconds(int repeats, const std::function<void()> &run) {
    std::vector<double> times;
    for (int i = 0; i < repeats; i++) {
        Clock::time_point start = Clock::now();
        run();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The least work over the same bytes: read both values once and write them
// once (a plain copy of each into scratch memory allocated beforehand).
// memcmp alone would stop at the first difference and flatter the edited
// cases.
double baseline_seconds(const Bytes &old_bytes, const Bytes &new_bytes, int repeats) {
    Bytes old_copy(old_bytes.size()), new_copy(new_bytes.size());
    volatile uint8_t sink = 0;
    return median_seconds(repeats, [&] {
        memcpy(old_copy.data(), old_bytes.data(), old_bytes.size());
        memcpy(new_copy.data(), new_bytes.data(), new_bytes.size());
        sink = static_cast<uint8_t>(sink + old_copy[old_copy.size() / 2] + new_copy[0]);
    });
}

// A history that reads `figure`: one bucket with a 256 ms window makes the
// figure equal to busy_total, and a last start "in the future" keeps the
// driver's own start from clearing it.
void set_figure(tovarel_activity_history *history, int32_t figure) {
    history->buckets[0] = static_cast<uint64_t>(figure);
    history->busy_total = history->buckets[0];
    history->current_bucket = UINT64_MAX - 1;
}

struct Workload {
    std::string name;
    Bytes old_bytes, new_bytes;
    int repeats;
};

void run_workload(const Workload &work, tovarel_activity_history *history) {
    buf old_value = view(work.old_bytes), new_value = view(work.new_bytes);
    double mb = static_cast<double>(work.old_bytes.size() + work.new_bytes.size()) / 1e6;
    double base = baseline_seconds(work.old_bytes, work.new_bytes, work.repeats);
    printf("%-26s %-9s %10.1f MB/s %9s %12s\n", work.name.c_str(), "baseline", mb / base, "1.0",
           "-");
    const int32_t figures[] = {IDLE_FIGURE, BUSY_FIGURE};
    for (int32_t figure : figures) {
        uint64_t delta_size = 0;
        bool failed = false;
        double seconds = median_seconds(work.repeats, [&] {
            set_figure(history, figure);
            buf *delta =
                diff_generate_binary_with_activity_history(history, &old_value, &new_value);
            failed = failed || delta == nullptr;
            delta_size = delta ? delta->len : 0;
            buf_free(delta);
        });
        std::string level = "level " + std::to_string(history->last_delta_quality);
        printf("%-26s %-9s %10.1f MB/s %8.1fx %12llu%s\n", work.name.c_str(), level.c_str(),
               mb / seconds, seconds / base, static_cast<unsigned long long>(delta_size),
               failed ? " (null result)" : "");
    }
}

} // namespace

int main(int argc, char **argv) {
    int repeats = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    tovarel_activity_history *history = tovarel_activity_history_create(1, 256);
    if (history == nullptr)
        return 1;

    Bytes one = random_bytes(MIB, 1);
    Bytes large = random_bytes(64 * MIB, 3);
    std::vector<Workload> workloads;
    workloads.push_back({"equal 1 MiB", one, one, repeats});
    workloads.push_back({"1 MiB, 10 edits", one, with_edits(one, 10, 4), repeats});
    workloads.push_back({"1 MiB, 1000 edits", one, with_edits(one, 1000, 5), repeats});
    workloads.push_back({"random 1 MiB vs 1 MiB", one, random_bytes(MIB, 2), repeats});
    workloads.push_back({"64 MiB, 100 edits", large, with_edits(large, 100, 6),
                         std::min(repeats, LARGE_CASE_REPEATS)});

    printf("%-26s %-9s %15s %9s %12s\n", "case", "run", "throughput", "time", "delta bytes");
    for (const Workload &work : workloads)
        run_workload(work, history);
    printf("time: median run time as a multiple of the baseline (memcpy of both values)\n");
    tovarel_activity_history_free(history);
    return 0;
}
