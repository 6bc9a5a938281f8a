/*
 * work_pool.cpp - the process's pool of helper threads (see work_pool.h).
 *
 * Each call publishes a job on the pool's list; helpers take tasks from
 * the first job that has some left, one index at a time from the job's
 * counter, as the calling thread does.  A job leaves the list once all of
 * its tasks are taken, and the call returns once all of them are done.
 */
#include "work_pool.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace {

struct job {
    void (*task)(void *, uint32_t);
    void *context;
    uint32_t count;
    int helpers; /* the most helpers the call asked for */
    std::atomic<uint32_t> next{0};
    std::atomic<uint32_t> done{0};
    /* Helpers inside the job: changed under the pool's lock, read without
     * it only to know when to stop spinning. */
    std::atomic<int> visitors{0};
    job *later = nullptr; /* the next job on the pool's list */
};

struct pool {
    std::mutex lock;
    std::condition_variable work_posted;
    std::condition_variable job_done;
    job *first = nullptr; /* jobs with tasks not yet taken */
    int threads = 0;
    std::atomic<uint64_t> posted{0}; /* jobs posted so far (added to under the lock) */
};

/*
 * How long a helper that finds no work, and a call whose tasks are all
 * taken, keep looking before they sleep.  A thread woken from its sleep
 * took 30 to 80 µs to run on this project's machine, and a diff posts its
 * jobs back to back (a fill of 64 MiB nine of them): a call of two tasks
 * of 16 µs each took 46 µs with a helper and 32 µs without, one of two of
 * 157 µs 235 µs.  Past that the thread sleeps as before, so a pool left
 * idle costs each of its threads this much once.
 */
constexpr auto SPIN_FOR = std::chrono::microseconds(100);
/* Looks between reads of the clock. */
constexpr int SPIN_LOOKS = 64;

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

/* Looks until done() holds or SPIN_FOR has passed; the caller decides
 * again under the lock either way. */
template <typename Done> void spin_until(Done done) {
    const auto until = std::chrono::steady_clock::now() + SPIN_FOR;
    do {
        for (int look = 0; look < SPIN_LOOKS; look++) {
            if (done()) {
                return;
            }
            spin_pause();
        }
    } while (std::chrono::steady_clock::now() < until);
}

/* The pool, created on first use and never destroyed; reset in a forked
 * child, which has none of its threads. */
std::atomic<pool *> the_pool{nullptr};
std::once_flag fork_handler_installed;

void forget_pool_in_child() {
    the_pool.store(nullptr);
}

pool *pool_get() {
    std::call_once(fork_handler_installed,
                   [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
    pool *current = the_pool.load();
    if (current != nullptr) {
        return current;
    }
    pool *fresh = new (std::nothrow) pool();
    if (fresh == nullptr) {
        return nullptr;
    }
    if (!the_pool.compare_exchange_strong(current, fresh)) {
        delete fresh;
        return current;
    }
    return fresh;
}

/* Runs tasks of the job until none is left to take. */
void run_tasks(job *work) {
    for (;;) {
        uint32_t i = work->next.fetch_add(1);
        if (i >= work->count) {
            return;
        }
        work->task(work->context, i);
        work->done.fetch_add(1);
    }
}

/* Takes the job off the list once its tasks are all taken (lock held). */
void unlist(pool *owner, job *work) {
    for (job **at = &owner->first; *at != nullptr; at = &(*at)->later) {
        if (*at == work) {
            *at = work->later;
            return;
        }
    }
}

void helper(pool *owner) {
    std::unique_lock<std::mutex> held(owner->lock);
    for (;;) {
        /* The first job with tasks left and room for a helper: a call
         * that asked for one helper had every thread of the pool, grown by
         * an earlier call that asked for more, and ran on more threads
         * than it was given. */
        job *work = nullptr;
        for (job *listed = owner->first; listed != nullptr;) {
            job *later = listed->later;
            if (listed->next.load() >= listed->count) {
                unlist(owner, listed);
            } else if (work == nullptr && listed->visitors < listed->helpers) {
                work = listed;
            }
            listed = later;
        }
        if (work == nullptr) {
            /* Nothing to do: look for a job posted after this scan for a
             * while, then sleep until one is.  A job posted meanwhile
             * changes `posted` under the lock, so the wait cannot miss
             * it. */
            const uint64_t seen = owner->posted.load();
            held.unlock();
            spin_until([owner, seen] { return owner->posted.load() != seen; });
            held.lock();
            owner->work_posted.wait(held, [owner, seen] { return owner->posted.load() != seen; });
            continue;
        }
        /* The caller's job outlives its visitors: the call waits for them
         * to leave before it returns. */
        work->visitors++;
        held.unlock();
        run_tasks(work);
        held.lock();
        work->visitors--;
        owner->job_done.notify_all();
    }
}

/* Makes sure the pool has at least `wanted` threads; fewer if the system
 * will not start them (lock held). */
void grow(pool *owner, int wanted) {
    wanted = wanted > WORK_POOL_MOST ? WORK_POOL_MOST : wanted;
    while (owner->threads < wanted) {
        try {
            std::thread(helper, owner).detach();
        } catch (...) {
            return;
        }
        owner->threads++;
    }
}

} // namespace

void work_pool_run(int helpers, uint32_t count, void (*task)(void *, uint32_t), void *context) {
    pool *owner = helpers > 0 && count > 1 ? pool_get() : nullptr;
    job work;
    work.task = task;
    work.context = context;
    work.count = count;
    work.helpers = helpers;
    if (owner == nullptr) {
        run_tasks(&work);
        return;
    }
    {
        std::lock_guard<std::mutex> held(owner->lock);
        grow(owner, helpers);
        work.later = owner->first;
        owner->first = &work;
        owner->posted.fetch_add(1);
    }
    owner->work_posted.notify_all();
    run_tasks(&work);
    /* The helpers' last tasks mostly end within a few microseconds of the
     * caller's: looked for, rather than slept on, they cost no wake-up.
     * The wait below decides, under the lock. */
    spin_until([&work] { return work.done.load() == work.count && work.visitors.load() == 0; });
    std::unique_lock<std::mutex> held(owner->lock);
    unlist(owner, &work);
    owner->job_done.wait(held,
                         [&work] { return work.done.load() == work.count && work.visitors == 0; });
}

unsigned work_pool_cores() {
    static const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}
