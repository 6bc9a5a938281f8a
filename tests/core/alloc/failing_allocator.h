/*
 * failing_allocator.h - a test allocator that sits between the core and
 * the C allocator (the tests link with --wrap=malloc,calloc,realloc) and
 * can be told to fail the Nth allocation from now on.
 *
 * A scenario is run once for N = 1, 2, 3, ... until a run makes no
 * allocation that was due to fail: every allocation the scenario makes has
 * then failed once, with the ones before it succeeding.  In persistent mode
 * every allocation from the Nth on fails, which also catches recovery code
 * that itself allocates.
 *
 * Only the scenario runs armed: the test's own checks (and GoogleTest) run
 * disarmed, so they neither fail nor shift the count.
 */
#ifndef TOVAREL_TESTS_FAILING_ALLOCATOR_H
#define TOVAREL_TESTS_FAILING_ALLOCATOR_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The nth allocation from now fails (n >= 1); with persistent, so does
 * every one after it.  Clears the record of earlier failures. */
void failing_allocator_arm(uint64_t nth, bool persistent);
/* Stops failing; returns the number of allocations seen while armed. */
uint64_t failing_allocator_disarm(void);
/* Whether an allocation was failed since the last arm. */
bool failing_allocator_fired(void);
/* Let a scenario's own checks run in its midst: paused, nothing is counted
 * or failed, and resuming carries on with the same count. */
void failing_allocator_pause(void);
void failing_allocator_resume(void);

#ifdef __cplusplus
}

#include <cstdio>

namespace failing_allocator {

/* Which allocation of a scenario fails, and whether later ones fail too. */
struct failure {
    uint64_t nth;
    bool persistent;
};

/* Pauses an armed scenario for the lifetime of the guard. */
struct paused {
    paused() { failing_allocator_pause(); }
    ~paused() { failing_allocator_resume(); }
    paused(const paused &) = delete;
    paused &operator=(const paused &) = delete;
};

/* Runs op() with the failure armed and returns what it returned. */
template <typename Op> auto armed(const failure &f, Op op) {
    failing_allocator_arm(f.nth, f.persistent);
    auto result = op();
    failing_allocator_disarm();
    return result;
}

/* No scenario of the core needs more allocations than this; a run that
 * goes on longer is stuck in a loop that retries a failed allocation. */
constexpr uint64_t max_allocations = 200000;

/*
 * Calls scenario(failure) for every allocation the scenario makes, first
 * failing each one alone, then failing each one and all after it.  The
 * scenario arms the failure around the operation under test only (with
 * armed()) and checks the outcome with failing_allocator_fired() in mind.
 * Returns the number of allocations of a run without failure; 0 means the
 * scenario never armed or never allocated.
 */
template <typename Scenario> uint64_t exhaust(Scenario scenario) {
    uint64_t allocations = 0;
    for (bool persistent : {false, true}) {
        for (uint64_t nth = 1;; nth++) {
            scenario(failure{nth, persistent});
            if (!failing_allocator_fired()) {
                allocations = nth - 1;
                break;
            }
            if (nth >= max_allocations) {
                fprintf(stderr, "failing_allocator: scenario still allocating after %llu\n",
                        static_cast<unsigned long long>(nth));
                return 0;
            }
        }
    }
    return allocations;
}

} // namespace failing_allocator

#endif

#endif /* TOVAREL_TESTS_FAILING_ALLOCATOR_H */
