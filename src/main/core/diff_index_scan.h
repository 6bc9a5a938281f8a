/*
 * diff_index_scan.h - the index method's scan of the new value: where each
 * stretch is copied from.  Internal to the index method's sources (C++).
 */
#ifndef TOVAREL_DIFF_INDEX_SCAN_H
#define TOVAREL_DIFF_INDEX_SCAN_H

#include <stdint.h>

#include "diff_index_build.h"
#include "diff_index_items.h"

namespace diff_index {

/* How hard the scan searches; see scan_settings_for. */
struct scan_settings {
    int32_t deep_depth;               /* chain links tried where the scan stops */
    int32_t compiled_depth;           /* and where it stops at compiled bytes */
    int32_t lookahead_depth;          /* and at the positions it looks ahead to */
    int32_t compiled_lookahead_depth; /* from a stop at compiled bytes */
    uint32_t lookahead;               /* positions tried after a short match */
    uint64_t good_enough;             /* a match this long ends the search */
    uint32_t skip_shift;              /* misses between two growths of the step */
};

/* The settings of a level from 0 (most thorough) to 4 (fastest) for this
 * index. */
scan_settings scan_settings_for(int level, const old_index &index);

/* What a scan did, for the tests that bound its work. */
struct scan_counts {
    uint64_t positions;  /* positions searched */
    uint64_t probes;     /* table slots and chain links read */
    uint64_t candidates; /* candidates checked (their window matched) */
};

/*
 * Scans new positions [begin, end) of the new value as if they were the
 * whole of it: no copy reaches outside them.  The copies, from keep_from
 * on (a copy that starts before it is cut there), go to out in order.
 * False when memory runs out.  With plain set, every candidate is checked
 * in full (the oracle of the fast check; same copies).
 */
bool index_scan(const old_index &index, const uint8_t *new_bytes, uint64_t begin,
                uint64_t keep_from, uint64_t end, const scan_settings &settings, bool plain,
                copy_list *out, scan_counts *counts);

} // namespace diff_index

#endif /* TOVAREL_DIFF_INDEX_SCAN_H */
