/*
 * diff_compact_probe.h - a quick estimate of how much of a new value has
 * no copy in the old one.
 *
 * The compact delta asks it before the index stage: where most of the new
 * value is left to literals whatever the index method does, the compact
 * match finder searches all of it anyway, and the index stage's copies
 * are of no use.  The estimate reads a sample of the old value's windows
 * and probes a sample of the new value's positions against them, a small
 * fraction of the index stage's work.  Internal to the core.
 */
#ifndef TOVAREL_DIFF_COMPACT_PROBE_H
#define TOVAREL_DIFF_COMPACT_PROBE_H

#include <stdint.h>

#include "buf.h"

/* Sample positions of the new value the probe tests at most. */
#define DIFF_COMPACT_PROBE_POINTS 512

/* What the probe found. */
typedef struct diff_compact_probe_result {
    uint64_t points; /* sample positions tested; 0 when the probe did not run */
    uint64_t copied; /* of them, those inside a stretch the old value holds */
} diff_compact_probe_result;

/*
 * Tests up to DIFF_COMPACT_PROBE_POINTS positions spread evenly over the
 * new value: a position counts as copied when one of the 16-byte windows
 * starting at it or up to a grid step after it occurs on the grid of the
 * old value's positions (every 64th, coarser beyond 64 MiB), so that an
 * exact copy of 80 bytes or more from anywhere in the old value is seen,
 * or when the bytes from it mostly equal the old value's along the
 * diagonal of the last such copy (shorter copies between changed
 * addresses).  points is 0 when the old value is too short or too long
 * for the probe, or memory runs out: the caller then knows nothing and
 * runs the index stage.  Deterministic: the same values give the same
 * counts.
 */
diff_compact_probe_result diff_compact_probe_literals(const buf *old_value, const buf *new_value);

/*
 * The same reading, coarser: an old grid eight times as wide (a copy is
 * seen on it from 528 bytes, or along the diagonal), at most
 * DIFF_COMPACT_PROBE_POINTS / 4 points, and the diagonal of the last match
 * tried before a point's windows, which spares their reads wherever it
 * holds.  It reads the literal share lower than the fine probe, since a
 * point that the diagonal explains never looks for a match elsewhere.
 */
diff_compact_probe_result diff_compact_probe_coarse(const buf *old_value, const buf *new_value);

#endif /* TOVAREL_DIFF_COMPACT_PROBE_H */
