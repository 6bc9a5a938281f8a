/*
 * work_pool.h - a few threads kept for the whole process, which long core
 * calls share out their work to.  Internal to the core (C++ only).
 *
 * A thread here starts 0.3 to 1.7 ms after it is created, longer than the
 * parts of most calls take, so no call starts one: the pool's threads are
 * created on first use, as many as calls have asked for so far (at most
 * WORK_POOL_MOST), and then wait for work until the process ends.  They
 * are never joined or destroyed, so nothing runs down while a call is
 * still using them at exit.  A forked child starts with no pool and makes
 * its own on first use: its copy of the parent's pool has no threads, and
 * may have been copied with its lock held.
 */
#ifndef TOVAREL_WORK_POOL_H
#define TOVAREL_WORK_POOL_H

#include <stdint.h>

constexpr int WORK_POOL_MOST = 7;

/*
 * Runs task(context, i) once for every i from 0 to count - 1, on the
 * calling thread and on up to `helpers` threads of the pool, and returns
 * when every one has run.  The calling thread always takes part, so the
 * work gets done even when the pool's threads are busy with other calls,
 * or could not be created.
 */
void work_pool_run(int helpers, uint32_t count, void (*task)(void *context, uint32_t i),
                   void *context);

/* The machine's cores, at least 1: asked of the system once per process,
 * since it reads a file for the answer, which costs more than a small
 * call's work. */
unsigned work_pool_cores();

#endif /* TOVAREL_WORK_POOL_H */
