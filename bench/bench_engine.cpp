/*
 * bench_engine - the difference engine's search, path against path.
 *
 * Every case runs at quality level 0 with the driver's defaults, once on
 * the plain search (the engine as it was: storage slots, one diagonal at a
 * time) and once on each faster path this processor has, all in the same
 * run.  The benchmark build counts the searches, steps and diagonal visits,
 * so the time per visit can be read off; the counts and the delta bytes
 * must come out the same on every path, and a difference is reported as a
 * failure.  Times are medians over the repeats, in processor time of the
 * running thread, which other work on a shared machine disturbs less than
 * the wall clock.
 *
 * Usage: bench_engine [--quick] [--repeats N] [--all-paths]
 *   --quick      one repeat, no 3 MiB case (a minute or so on two cores)
 *   --all-paths  also the intermediate paths, not only the plain and best
 */
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_random.h"
#include "edit_script.h"
#include "execution_search.h"
#include "myers_binary_diff.h"

namespace {

using bytes = std::vector<uint8_t>;

const double LONG_RUN_SECONDS = 3.0;

const char *const PATH_NAMES[EXECUTION_SEARCH_PATHS] = {"plain", "contiguous", "sse2",
                                                        "avx2",  "avx512",     "avx512vbmi"};

bytes noise(size_t n, uint64_t seed) {
    XorShift g{seed * 0x9E3779B97F4A7C15ull + 1};
    bytes out(n);
    for (uint8_t &b : out) {
        b = static_cast<uint8_t>(g.next() >> 56);
    }
    return out;
}

/* The value's 4 KiB blocks in another order. */
bytes shuffled_blocks(const bytes &value, uint64_t seed) {
    const size_t block = 4096;
    std::vector<size_t> starts;
    for (size_t at = 0; at < value.size(); at += block) {
        starts.push_back(at);
    }
    XorShift g{seed};
    for (size_t i = starts.size(); i > 1; i--) {
        std::swap(starts[i - 1], starts[g.next() % i]);
    }
    bytes out;
    for (size_t at : starts) {
        out.insert(out.end(), value.begin() + at,
                   value.begin() + std::min(at + block, value.size()));
    }
    return out;
}

/* `edits` small changes (1 to 8 bytes replaced, inserted or deleted). */
bytes edited(bytes value, size_t edits, uint64_t seed) {
    XorShift g{seed};
    for (size_t i = 0; i < edits; i++) {
        size_t at = g.next() % value.size();
        size_t length = 1 + g.next() % 8;
        bytes run = noise(length, g.next());
        switch (g.next() % 3) {
        case 0:
            std::copy(run.begin(), run.begin() + std::min(length, value.size() - at),
                      value.begin() + at);
            break;
        case 1:
            value.insert(value.begin() + at, run.begin(), run.end());
            break;
        default:
            value.erase(value.begin() + at, value.begin() + std::min(at + length, value.size()));
        }
    }
    return value;
}

bool read_file(const std::string &path, bytes *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

struct work {
    std::string name;
    bytes old_value, new_value;
    bool plain; /* also run the plain path (too slow for some cases in --quick) */
};

struct measured {
    double seconds;
    execution_search_counters counts;
    int32_t result;
    bytes delta;
};

double thread_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

measured run_once(const work &w) {
    buf old_view = {const_cast<uint8_t *>(w.old_value.data()), w.old_value.size(),
                    w.old_value.size()};
    buf new_view = {const_cast<uint8_t *>(w.new_value.data()), w.new_value.size(),
                    w.new_value.size()};
    edit_script *script = edit_script_create(&old_view, &new_view);
    execution_search_counts_reset();
    double start = thread_seconds();
    int32_t result =
        myers_binary_diff(&old_view, 0, static_cast<int32_t>(w.old_value.size()), &new_view, 0,
                          static_cast<int32_t>(w.new_value.size()), script, INT32_MAX, 10000, 0);
    double seconds = thread_seconds() - start;
    measured m = {seconds, execution_search_counts(), result, {}};
    if (result == 0) {
        m.delta.assign(script->output->data, script->output->data + script->output->len);
    }
    edit_script_free(script);
    return m;
}

measured run_median(const work &w, int repeats) {
    std::vector<double> times;
    measured first = run_once(w);
    times.push_back(first.seconds);
    /* A case that takes seconds is not repeated: one run is steady enough. */
    for (int i = 1; i < repeats && first.seconds < LONG_RUN_SECONDS; i++) {
        times.push_back(run_once(w).seconds);
    }
    std::sort(times.begin(), times.end());
    first.seconds = times[times.size() / 2];
    return first;
}

bool same_counts(const execution_search_counters &a, const execution_search_counters &b) {
    return a.searches == b.searches && a.steps == b.steps && a.visits == b.visits;
}

/* Runs one case on the chosen paths; false when a path disagrees. */
bool bench(const work &w, const std::vector<int32_t> &paths, int repeats) {
    bool agree = true;
    measured plain = {};
    bool have_plain = false;
    for (int32_t path : paths) {
        if (path == EXECUTION_SEARCH_PLAIN && !w.plain) {
            continue;
        }
        _execution_search_force_path(path);
        measured m = run_median(w, repeats);
        std::string verdict = "";
        if (path == EXECUTION_SEARCH_PLAIN) {
            plain = m;
            have_plain = true;
        } else if (have_plain) {
            bool same = m.result == plain.result && m.delta == plain.delta &&
                        same_counts(m.counts, plain.counts);
            agree = agree && same;
            char ratio[64];
            snprintf(ratio, sizeof(ratio), "%6.1fx faster%s", plain.seconds / m.seconds,
                     same ? "" : "  DIFFERENT OUTPUT");
            verdict = ratio;
        }
        double visits = static_cast<double>(m.counts.visits);
        printf("%-34s %-10s %10.1f ms %8llu %11llu %14.0f %7.2f ns  %s\n", w.name.c_str(),
               PATH_NAMES[path], m.seconds * 1e3,
               static_cast<unsigned long long>(m.counts.searches),
               static_cast<unsigned long long>(m.counts.steps), visits,
               visits > 0 ? m.seconds * 1e9 / visits : 0.0, verdict.c_str());
        fflush(stdout);
    }
    _execution_search_force_path(EXECUTION_SEARCH_AUTO);
    return agree;
}

/* Version pairs of the machine's Python sources, older release first. */
void add_source_pairs(std::vector<work> *cases, bool quick) {
    const char *const root = "/root/.pyenv/versions/";
    const struct {
        const char *old_version, *new_version;
    } versions[] = {{"3.10.13/lib/python3.10/", "3.11.7/lib/python3.11/"},
                    {"3.11.7/lib/python3.11/", "3.12.1/lib/python3.12/"}};
    const char *const files[] = {"typing.py", "enum.py", "inspect.py", "argparse.py",
                                 "dataclasses.py"};
    for (const auto &v : versions) {
        for (const char *file : files) {
            work w;
            if (!read_file(std::string(root) + v.old_version + file, &w.old_value) ||
                !read_file(std::string(root) + v.new_version + file, &w.new_value)) {
                continue;
            }
            w.name = std::string(file) + " " + std::string(v.old_version).substr(0, 4) + "->" +
                     std::string(v.new_version).substr(0, 4);
            w.plain = true;
            cases->push_back(std::move(w));
            if (quick) {
                break;
            }
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    bool quick = false, all_paths = false;
    int repeats = 3;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0) {
            quick = true;
            repeats = 1;
        } else if (strcmp(argv[i], "--all-paths") == 0) {
            all_paths = true;
        } else if (strcmp(argv[i], "--repeats") == 0 && i + 1 < argc) {
            repeats = std::max(1, atoi(argv[++i]));
        } else {
            fprintf(stderr, "usage: %s [--quick] [--repeats N] [--all-paths]\n", argv[0]);
            return 2;
        }
    }
    std::vector<int32_t> paths = {EXECUTION_SEARCH_PLAIN};
    for (int32_t path = EXECUTION_SEARCH_PLAIN + 1; path < EXECUTION_SEARCH_PATHS; path++) {
        if (execution_search_path_supported(path) &&
            (all_paths || path == execution_search_path())) {
            paths.push_back(path);
        }
    }

    const size_t mib = 1 << 20;
    std::vector<work> cases;
    cases.push_back({"random 1 MiB vs random 1 MiB", noise(mib, 1), noise(mib, 2), true});
    bytes one = noise(mib, 3);
    cases.push_back({"1 MiB, shuffled 4 KiB blocks", one, shuffled_blocks(one, 4), true});
    if (!quick) {
        bytes three = noise(3 * mib, 5);
        cases.push_back({"3 MiB, shuffled 4 KiB blocks", three, shuffled_blocks(three, 6), true});
    }
    bytes quarter = noise(mib / 4, 7);
    cases.push_back({"256 KiB, 2000 small edits", quarter, edited(quarter, 2000, 8), true});
    add_source_pairs(&cases, quick);

    printf("%-34s %-10s %13s %8s %11s %14s %10s\n", "case", "path", "time", "searches", "steps",
           "visits", "per visit");
    bool agree = true;
    for (const work &w : cases) {
        agree = bench(w, paths, repeats) && agree;
    }
    printf("time: median of %d run(s), end to end at level 0, thread CPU time; per visit: time / "
           "visits\n",
           repeats);
    if (!agree) {
        printf("FAILURE: a path's output or counts differ from the plain path's\n");
        return 1;
    }
    return 0;
}
