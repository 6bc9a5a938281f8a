/*
 * diff_index.cpp - binary deltas that copy from anywhere in the old value:
 * the entry points, and the split of large values into parts.
 *
 * The old value is indexed once (diff_index_build), the new value scanned
 * (diff_index_scan), and the copies the scan chooses written as delta
 * items (diff_index_items).  A new value of DIFF_INDEX_SPLIT_FROM bytes or
 * more is scanned in parts of DIFF_INDEX_PART bytes, and smaller ones at
 * its end (a smaller value in up to MID_PARTS parts), each as if it were a
 * value of its own (from a little before it, see PART_LEAD), so that the
 * parts can run on several threads; the parts are fixed by the value's
 * size alone, which makes the delta the same whatever the number of
 * threads.  A copy cut by a border is joined again by the writer.
 *
 * Parts go out in batches, and each batch's copies are written, part by
 * part in order as the scans finish, before the next batch is scanned: the
 * copies in memory stay bounded by the batch however large the value.
 */
#include "diff_index.h"

#include <stdlib.h>

#include <atomic>
#include <memory>
#include <new>

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

/* Parts handed out at once; their copies stay in memory until the parts
 * before them are scanned.  Every batch ends with the threads waiting for
 * its slowest part, so a batch holds many: with 16 parts of 2 MiB, the
 * last 4 MiB of a 30 MB library were scanned on one thread for a fifth of
 * the scan's time. */
constexpr uint32_t BATCH_PARTS = 64;

/* A new value under DIFF_INDEX_SPLIT_FROM, a compiled module of a few
 * megabytes, is still scanned in up to MID_PARTS parts of MID_PART_LEAST
 * bytes or more, so that a second core shares the scan, the larger part of
 * such a diff: a part's border costs a few short copies, where its lead
 * finds the diagonal again.  Smaller values stay on the calling thread:
 * split from 64 KiB on, source files of 100 KB took longer on two cores
 * than on one, the leads adding a few percent and waking a second thread
 * for a millisecond's scan costing more than it saved. */
constexpr uint64_t MID_PARTS = 8;
constexpr uint64_t MID_PART_LEAST = 128 << 10;
/* Their borders fall on multiples of this, as those of DIFF_INDEX_PART do:
 * a scan stepping over unmatched bytes from a border then stops at the
 * positions that one scan from the value's start would stop at, and finds
 * the same blocks among new bytes. */
constexpr uint64_t MID_PART_ALIGN = 4096;

/* A large value's last TAIL_BYTES, or a little more, are scanned in parts
 * of TAIL_PART bytes: the parts go out in order, and a thread that found
 * none left waited for the last one another thread had taken; with parts
 * of 1 MiB up to the end, a 30 MB library's scan lost a twentieth of its
 * time so on two threads.  Both are multiples of MID_PART_ALIGN. */
constexpr uint64_t TAIL_BYTES = 4ULL << 20;
constexpr uint64_t TAIL_PART = 256 << 10;
static_assert(DIFF_INDEX_PART % MID_PART_ALIGN == 0 && TAIL_PART % MID_PART_ALIGN == 0,
              "the parts' borders fall on the alignment");
static_assert(DIFF_INDEX_SPLIT_FROM >= TAIL_BYTES, "a large value has a tail");

/* Where the parts fall, fixed by the new value's size alone: `head` parts
 * of `length` bytes from the start, then parts of `tail_length` bytes, the
 * last one what is left. */
struct part_plan {
    uint64_t new_length;
    uint64_t length;
    uint64_t head;
    uint64_t tail_length;
    uint64_t count;

    uint64_t begin(uint64_t part) const {
        return part < head ? part * length : head * length + (part - head) * tail_length;
    }
    uint64_t end(uint64_t part) const { return part + 1 == count ? new_length : begin(part + 1); }
};

/* A large value: parts of DIFF_INDEX_PART, and TAIL_PART at its end.  A
 * mid-size one: up to MID_PARTS equal parts, the last one taking what is
 * left.  Anything smaller: one part. */
part_plan plan_parts(uint64_t new_length) {
    part_plan plan{new_length, new_length, 0, new_length, 1};
    if (new_length >= DIFF_INDEX_SPLIT_FROM) {
        plan.length = DIFF_INDEX_PART;
        plan.head = (new_length - TAIL_BYTES) / DIFF_INDEX_PART;
        plan.tail_length = TAIL_PART;
        uint64_t tail = new_length - plan.head * DIFF_INDEX_PART;
        plan.count = plan.head + (tail + TAIL_PART - 1) / TAIL_PART;
        return plan;
    }
    uint64_t parts = new_length / MID_PART_LEAST;
    parts = parts > MID_PARTS ? MID_PARTS : parts;
    if (parts <= 1) {
        return plan;
    }
    plan.length = new_length / parts / MID_PART_ALIGN * MID_PART_ALIGN;
    plan.tail_length = plan.length;
    plan.count = new_length / plan.length;
    plan.head = plan.count - 1;
    return plan;
}

/*
 * An old value too large for the chains to hold every window is first
 * read at one position in 2^TRIAL_GRID only, and a few stretches of the
 * new value, spread over it, are scanned against that index.  Where they
 * are nearly all copied (values under a few edits, blocks moved), an index
 * of one position in 2^AGREE_GRID serves: a copy longer than the grid plus
 * a window still holds an indexed window, backward extension finds its
 * start, and the scan along the edits' diagonals needs the index at few
 * positions at all.  Reading every window cost ten times the rest of such
 * a diff.  Where they are nearly all literal, the values have little in
 * common, a denser index would find no more, and the trial's is kept.
 * Between the two, compiled code under changed addresses, the short
 * matches need every window, and the index is built again in full; the
 * trial's index is sparser than AGREE_GRID so that this case, the common
 * one for binaries, pays little for it.
 */
constexpr int TRIAL_GRID = 6;
constexpr int AGREE_GRID = 4;
constexpr uint64_t TRIAL_STRETCHES = 32;
constexpr uint64_t TRIAL_STRETCH = 4096;
/* Either side of the trial, literal or copied, counts as nearly all of it
 * when the other is at most 1 / TRIAL_MARGIN of what the trial scans. */
constexpr uint64_t TRIAL_MARGIN = 128;

/* Set by the test hook: every candidate goes through the plain check. */
bool plain_checks = false;

thread_local diff_index_counts last_counts;

/* What the scan of one part writes, on lines of its own: the scan appends
 * to its copy list at every copy, and with the parts' lists side by side
 * the two threads scanning neighbouring parts wrote the same lines, each
 * append waiting for the line to come back from the other core. */
struct alignas(CACHE_LINE) part_slot {
    copy_list copies;
    scan_counts counts;
    bool failed;
    std::atomic<bool> scanned;
};

/* The writer, on lines of its own: on the calling thread's stack, beside
 * what that thread wrote as it scanned, the writer's fields went back and
 * forth between the cores whenever the other thread wrote the delta, and
 * the writing took twice as long on two threads as on one (a 30 MB
 * library's scan: 63 ms of writing on two threads, 32 on one; 28 off the
 * stack). */
struct alignas(CACHE_LINE) writer_slot {
    item_writer writer;
};

/* One batch of parts, shared by the threads that scan them.  A part's
 * copies are written as soon as it and every part before it are scanned,
 * by whichever thread finishes the last of them: written after the batch
 * on the calling thread alone, they were the largest part of the diff that
 * a second core could not share. */
struct batch {
    const old_index *index;
    const uint8_t *new_bytes;
    uint64_t new_length;
    uint64_t first_part;
    part_plan parts;
    scan_settings settings;
    bool plain;
    uint32_t in_batch; /* parts of this batch */
    part_slot part[BATCH_PARTS];

    /* The writer's side, held by one thread at a time (see feed_ready). */
    std::atomic<bool> writing{false};
    std::atomic<uint32_t> next_fed{0}; /* the first part of the batch not yet written */
    bool fed;                          /* every part so far scanned and written */
    diff_index_counts total;
    writer_slot out;
};

/* Writes the batch's part i, which is scanned, and every part before it
 * written: in the order of the parts, so the delta is that of one thread. */
void feed_part(batch &work, uint32_t i) {
    part_slot &slot = work.part[i];
    work.fed = work.fed && !slot.failed && items_feed(&work.out.writer, &slot.copies);
    work.total.positions += slot.counts.positions;
    work.total.probes += slot.counts.probes;
    work.total.candidates += slot.counts.candidates;
    copies_free(&slot.copies);
    slot.counts = scan_counts{};
}

bool next_is_ready(const batch &work) {
    uint32_t next = work.next_fed.load(std::memory_order_acquire);
    return next < work.in_batch && work.part[next].scanned.load(std::memory_order_acquire);
}

/*
 * Writes the parts that are ready, unless another thread is writing.  A
 * thread that finds the writer busy leaves its part to it: the writer looks
 * again after it lets go, so a part scanned just before that is not left
 * unwritten.
 */
void feed_ready(batch &work) {
    while (next_is_ready(work)) {
        if (work.writing.exchange(true, std::memory_order_acquire)) {
            return;
        }
        uint32_t next = work.next_fed.load(std::memory_order_relaxed);
        while (next < work.in_batch && work.part[next].scanned.load(std::memory_order_acquire)) {
            feed_part(work, next);
            next++;
            work.next_fed.store(next, std::memory_order_release);
        }
        work.writing.store(false, std::memory_order_release);
    }
}

/* Part first_part + i of the plan. */
void scan_part(void *context, uint32_t i) {
    batch &work = *static_cast<batch *>(context);
    uint64_t part = work.first_part + i;
    uint64_t begin = work.parts.begin(part);
    uint64_t end = work.parts.end(part);
    uint64_t lead = part == 0 ? 0 : PART_LEAD;
    part_slot &slot = work.part[i];
    slot.failed = !index_scan(*work.index, work.new_bytes, begin - lead, begin, end, work.settings,
                              work.plain, &slot.copies, &slot.counts);
    slot.scanned.store(true, std::memory_order_release);
    feed_ready(work);
}

int threads_for(int32_t asked) {
    int threads = asked;
    if (threads == 0) {
        threads = static_cast<int>(work_pool_cores());
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
    part_plan plan = plan_parts(new_value->len);
    uint64_t parts = plan.count;
    /* A line more than the batch, so that it can start on a line as its
     * slots ask: from malloc rather than aligned_alloc, so that the tests
     * that make allocations fail reach this one too. */
    void *memory = malloc(sizeof(batch) + CACHE_LINE);
    if (memory == nullptr) {
        return nullptr;
    }
    void *aligned = memory;
    size_t room = sizeof(batch) + CACHE_LINE;
    auto *work = new (std::align(CACHE_LINE, sizeof(batch), aligned, room)) batch{};
    item_writer &writer = work->out.writer;
    if (!items_begin(&writer, index.old_bytes, new_value->data, new_value->len)) {
        work->~batch();
        free(memory);
        return nullptr;
    }
    work->index = &index;
    work->new_bytes = new_value->data;
    work->new_length = new_value->len;
    work->parts = plan;
    work->settings = settings;
    work->plain = plain_checks;
    work->fed = true;
    for (uint64_t first = 0; first < parts && work->fed; first += BATCH_PARTS) {
        uint32_t count =
            static_cast<uint32_t>(parts - first < BATCH_PARTS ? parts - first : BATCH_PARTS);
        work->first_part = first;
        work->in_batch = count;
        work->next_fed.store(0);
        for (uint32_t i = 0; i < count; i++) {
            work->part[i].scanned.store(false);
        }
        work_pool_run(threads - 1, count, scan_part, work);
        /* Every part is scanned by now, and the last scanned wrote the
         * rest; this only makes sure of it. */
        feed_ready(*work);
    }
    last_counts = work->total;
    buf *result = nullptr;
    if (work->fed) {
        result = items_finish(&writer);
    } else {
        items_abandon(&writer);
    }
    work->~batch();
    free(memory);
    return result;
}

/* Values with little in common are scanned probing one window in
 * 2^UNRELATED_PROBE_BITS of those the sparse index could hold: there is
 * next to nothing to find, and a probe at every position the scan stops at
 * cost more than the rest of the scan. */
constexpr int UNRELATED_PROBE_BITS = 4;
constexpr uint64_t PROBE_BITS_MASK = (1ULL << UNRELATED_PROBE_BITS) - 1;

enum class trial_verdict { agree, unrelated, mixed, out_of_memory };

/* What the trial says of the sparse index (see TRIAL_GRID). */
trial_verdict sparse_trial(const old_index &index, const buf *new_value,
                           const scan_settings &settings) {
    uint64_t stretches = new_value->len / TRIAL_STRETCH;
    stretches = stretches > TRIAL_STRETCHES ? TRIAL_STRETCHES : stretches;
    if (stretches == 0) {
        return trial_verdict::mixed;
    }
    uint64_t spacing = new_value->len / stretches;
    uint64_t trial = stretches * TRIAL_STRETCH;
    uint64_t margin = trial / TRIAL_MARGIN;
    uint64_t copied = 0, literal = 0;
    for (uint64_t k = 0; k < stretches; k++) {
        uint64_t begin = k * spacing;
        copy_list copies;
        if (!index_scan(index, new_value->data, begin, begin, begin + TRIAL_STRETCH, settings,
                        plain_checks, &copies, nullptr)) {
            copies_free(&copies);
            return trial_verdict::out_of_memory;
        }
        uint64_t stretch_copied = 0;
        for (uint64_t c = 0; c < copies.count; c++) {
            stretch_copied += copies.items[c].length;
        }
        copies_free(&copies);
        copied += stretch_copied;
        literal += TRIAL_STRETCH - stretch_copied;
        /* Both sides past the margin: the answer can no longer change. */
        if (copied > margin && literal > margin) {
            return trial_verdict::mixed;
        }
    }
    return copied > margin ? trial_verdict::agree : trial_verdict::unrelated;
}

/* The index of the old value for the new one, sparse where that serves
 * (see TRIAL_GRID). */
bool index_for(old_index *index, const buf *old_value, const buf *new_value, uint64_t allowance,
               int level, int threads) {
    /* A value read sparsely anyway keeps its grid's rates (see
     * diff_index_build.h): the trial's own rates would fill a table far
     * beyond the caches with four times the entries. */
    if (old_value->len >= SPARSE_FROM) {
        return index_build(index, old_value->data, old_value->len, allowance, threads, 0);
    }
    if (!index_build(index, old_value->data, old_value->len, allowance, threads, TRIAL_GRID)) {
        return false;
    }
    if (index->near == nullptr) {
        return true;
    }
    int grid = 0;
    switch (sparse_trial(*index, new_value, scan_settings_for(level, *index))) {
    case trial_verdict::agree:
        grid = AGREE_GRID;
        break;
    case trial_verdict::unrelated:
        /* The tables keep what they hold; stricter tests only make the
         * scan probe fewer of them. */
        index->near_mask = (index->near_mask << UNRELATED_PROBE_BITS) | PROBE_BITS_MASK;
        index->deep_mask = (index->deep_mask << UNRELATED_PROBE_BITS) | PROBE_BITS_MASK;
        return true;
    case trial_verdict::mixed:
        break;
    case trial_verdict::out_of_memory:
        index_free(index);
        return false;
    }
    index_free(index);
    return index_build(index, old_value->data, old_value->len, allowance, threads, grid);
}

} // namespace

void _diff_index_force_plain(bool plain) {
    plain_checks = plain;
    index_fill_force_plain(plain);
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
    if (!index_for(&index, old_value, new_value, allowance, chosen.level, threads)) {
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
