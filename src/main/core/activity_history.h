/*
 * activity_history.h - how busy the owner has recently been, kept as busy
 * milliseconds in a ring of power-of-two-wide time buckets.  The utilisation
 * figure is scaled so that 256 means the whole window was busy; the delta
 * driver maps it to a quality level and records that level here.
 *
 * A history has no lock: one thread at a time.  Times are wall-clock
 * milliseconds; _activity_history_start/_stop take any time directly.
 */
#ifndef TOVAREL_ACTIVITY_HISTORY_H
#define TOVAREL_ACTIVITY_HISTORY_H

#include <stdint.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

typedef struct tovarel_activity_history {
    int32_t last_delta_quality; /* level the driver chose last, 0 to 4 */
    uint64_t *buckets;          /* owned: busy ms per bucket slot */
    uint64_t bucket_count;      /* power of two */
    uint64_t bucket_width;      /* power of two, milliseconds */
    int32_t bucket_shift;       /* log2(bucket_width) */
    int32_t bucket_mask;        /* bucket_count - 1 */
    uint64_t current_bucket;    /* bucket number of the last start */
    uint64_t start_time;        /* time of the last start, ms */
    uint64_t busy_total;        /* sum of all buckets */
    int32_t utilisation_shift;  /* log2(window) - 8 */
} tovarel_activity_history;

TOVAREL_API tovarel_activity_history *tovarel_activity_history_create(int32_t count,
                                                                      uint64_t width);
TOVAREL_API void tovarel_activity_history_free(tovarel_activity_history *history);
TOVAREL_API void tovarel_activity_history_start(tovarel_activity_history *history);
TOVAREL_API void tovarel_activity_history_stop(tovarel_activity_history *history);
TOVAREL_API void _activity_history_start(tovarel_activity_history *history, uint64_t now);
TOVAREL_API void _activity_history_stop(tovarel_activity_history *history, uint64_t now);
TOVAREL_API int32_t tovarel_activity_history_utilisation(const tovarel_activity_history *history);
TOVAREL_API int32_t
tovarel_activity_history_get_last_delta_quality(const tovarel_activity_history *history);

TOVAREL_END_DECLS

#endif /* TOVAREL_ACTIVITY_HISTORY_H */
