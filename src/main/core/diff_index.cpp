/*
 * diff_index.cpp - binary deltas that copy from anywhere in the old value:
 * the entry points, and the split of large values into parts.
 *
 * The old value is indexed once (diff_index_build), the new value scanned
 * (diff_index_scan), and the copies the scan chooses written as delta
 * items (diff_index_items).  A new value of DIFF_INDEX_SPLIT_FROM bytes or
 * more is scanned in parts of DIFF_INDEX_PART bytes, each as if it were a
 * value of its own (from a little before it, see PART_LEAD), so that the
 * parts can run on several threads; the parts are fixed by the value's
 * size alone, which makes the delta the same whatever the number of
 * threads.  A copy cut by a border is joined again by the writer.
 *
 * Parts go out in batches, and each batch's copies are written before the
 * next batch is scanned: the copies in memory stay bounded by the batch
 * however large the value.
 */
#include "diff_index.h"

#include <stdlib.h>

#include <thread>

#include "diff_generate.h"
#include "diff_index_build.h"
#include "diff_index_items.h"
#include "diff_index_scan.h"
#include "myers_binary_diff.h"
#include "work_pool.h"

namespace {

using namespace diff_index;

/* A part's scan starts this far before the part, keeping only what it
 * copies from the part on: by then it has found the diagonal the edits
 * left there, where a scan from a fresh state would first take short
 * copies from elsewhere. */
constexpr uint64_t PART_LEAD = 4096;

/* Parts scanned before their copies are written. */
constexpr uint32_t BATCH_PARTS = 16;

/* Set by the test hook: every candidate goes through the plain check. */
bool plain_checks = false;

thread_local diff_index_counts last_counts;

/* One batch of parts, shared by the threads that scan them. */
struct batch {
    const old_index *index;
    const uint8_t *new_bytes;
    uint64_t new_length;
    uint64_t first_part;
    uint64_t part_count; /* parts in the whole value */
    scan_settings settings;
    bool plain;
    copy_list copies[BATCH_PARTS];
    scan_counts counts[BATCH_PARTS];
    bool failed[BATCH_PARTS];
};

/* Part first_part + i: DIFF_INDEX_PART bytes, the last one also taking
 * what is left. */
void scan_part(void *context, uint32_t i) {
    batch &work = *static_cast<batch *>(context);
    uint64_t part = work.first_part + i;
    uint64_t begin = part * DIFF_INDEX_PART;
    uint64_t end = part + 1 == work.part_count ? work.new_length : begin + DIFF_INDEX_PART;
    uint64_t lead = part == 0 ? 0 : PART_LEAD;
    work.failed[i] = !index_scan(*work.index, work.new_bytes, begin - lead, begin, end,
                                 work.settings, work.plain, &work.copies[i], &work.counts[i]);
}

int threads_for(int32_t asked) {
    /* Asked of the system once: it reads a file for the answer, which
     * costs more than a small diff. */
    static const unsigned cores = std::thread::hardware_concurrency();
    int threads = asked;
    if (threads == 0) {
        threads = cores == 0 ? 1 : static_cast<int>(cores);
    }
    return threads > DIFF_INDEX_MAX_THREADS ? DIFF_INDEX_MAX_THREADS : threads;
}

uint64_t default_allowance(uint64_t old_length) {
    if (old_length > DIFF_INDEX_LARGE_OLD) {
        return old_length / 8;
    }
    return old_length > DIFF_INDEX_DEFAULT_ALLOWANCE_FLOOR ? old_length
                                                           : DIFF_INDEX_DEFAULT_ALLOWANCE_FLOOR;
}

/* Scans every part and writes the delta; null when memory runs out. */
buf *scan_and_write(const old_index &index, const buf *new_value, const scan_settings &settings,
                    int threads) {
    item_writer writer;
    if (!items_begin(&writer, index.old_bytes, new_value->data, new_value->len)) {
        return nullptr;
    }
    uint64_t parts = new_value->len < DIFF_INDEX_SPLIT_FROM ? 1 : new_value->len / DIFF_INDEX_PART;
    auto *work = static_cast<batch *>(calloc(1, sizeof(batch)));
    if (work == nullptr) {
        items_abandon(&writer);
        return nullptr;
    }
    work->index = &index;
    work->new_bytes = new_value->data;
    work->new_length = new_value->len;
    work->part_count = parts;
    work->settings = settings;
    work->plain = plain_checks;
    bool fed = true;
    diff_index_counts total{};
    for (uint64_t first = 0; first < parts && fed; first += BATCH_PARTS) {
        uint32_t count =
            static_cast<uint32_t>(parts - first < BATCH_PARTS ? parts - first : BATCH_PARTS);
        work->first_part = first;
        work_pool_run(threads - 1, count, scan_part, work);
        for (uint32_t i = 0; i < count; i++) {
            fed = fed && !work->failed[i] && items_feed(&writer, &work->copies[i]);
            total.positions += work->counts[i].positions;
            total.probes += work->counts[i].probes;
            total.candidates += work->counts[i].candidates;
            copies_free(&work->copies[i]);
            work->counts[i] = scan_counts{};
        }
    }
    free(work);
    last_counts = total;
    if (!fed) {
        items_abandon(&writer);
        return nullptr;
    }
    return items_finish(&writer);
}

} // namespace

void _diff_index_force_plain(bool plain) {
    plain_checks = plain;
}

diff_index_counts _diff_index_last_counts(void) {
    return last_counts;
}

buf *diff_index_generate_binary_with_options(const buf *old_value, const buf *new_value,
                                             const diff_index_options *options) {
    diff_index_options chosen = options != nullptr ? *options : diff_index_options{0, 0, 0};
    if (!buf_has_its_bytes(old_value) || !buf_has_its_bytes(new_value) || chosen.level < 0 ||
        chosen.level > DIFF_INDEX_MAX_LEVEL || chosen.threads < 0) {
        return nullptr;
    }
    last_counts = diff_index_counts{};
    if (buf_cmp(old_value, new_value) == 0) {
        return diff_generate_outcome(new_value, nullptr, MYERS_NO_CHANGE);
    }
    uint64_t allowance =
        chosen.index_allowance != 0 ? chosen.index_allowance : default_allowance(old_value->len);
    int threads = threads_for(chosen.threads);
    old_index index;
    if (!index_build(&index, old_value->data, old_value->len, allowance, threads)) {
        return nullptr;
    }
    buf *result = scan_and_write(index, new_value, scan_settings_for(chosen.level, index), threads);
    index_free(&index);
    return result;
}

buf *diff_index_generate_binary_ex(const buf *old_value, const buf *new_value,
                                   uint64_t index_allowance) {
    if (!diff_generate_comparable(old_value) || !diff_generate_comparable(new_value)) {
        return nullptr;
    }
    diff_index_options options{index_allowance, 0, 1};
    return diff_index_generate_binary_with_options(old_value, new_value, &options);
}

buf *diff_index_generate_binary(const buf *old_value, const buf *new_value) {
    return diff_index_generate_binary_ex(old_value, new_value, 0);
}
