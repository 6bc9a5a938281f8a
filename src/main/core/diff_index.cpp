/*
 * diff_index.cpp - binary deltas that copy from anywhere in the old value.
 *
 * The old value is indexed once: the 8-byte window at each sampled position
 * is hashed into a table whose buckets chain the positions that share a
 * fingerprint, latest first.  Runs of one byte value get their first
 * position indexed and the longest run of each value kept aside, as zeros
 * would otherwise crowd every other zero run out of reach.
 *
 * The new value is then scanned front to back.  At each position the
 * candidates are those the usual edits leave behind the last copy (its
 * diagonal after replaced bytes, the old bytes right after it after
 * inserted ones, old bytes a little further on after deleted ones), the
 * diagonal of the last long copy, the longest run for a run, and the first
 * positions of the window's chain.
 * Each candidate is verified and extended forward and backward, a word or
 * more at a time; the one that takes the parse furthest for the cheapest copy
 * pair wins, unless one of the next few positions offers a better one
 * (lazy matching).  The bytes the copies leave out become insert strings.
 * Most chain candidates cannot beat the best one found so far; a bound on
 * their score and one comparison turn them away unmeasured.
 *
 * Backward extension is what makes sampling and skipping cheap: a match
 * whose start was not indexed, or was stepped over, is still found from any
 * indexed window inside it and then grown back to its true start.  The last
 * copy stays pending until the next is chosen, so that a short one can be
 * taken over by a longer match that reaches back across it.
 *
 * Items go through the edit script, so its rules hold unchanged: its byte
 * budget abandons the comparison as soon as the delta cannot beat the new
 * value, and a short copy is folded into the insertion next to it when its
 * literal bytes cost no more.
 *
 * Work is bounded per byte of the new value: a few fixed candidates and a
 * bounded chain per position; a candidate's forward extension never exceeds
 * what the chosen match covers by more than a window (or the position is a
 * miss and every candidate stopped within a window); backward extension
 * only reaches into literal bytes, which a match then takes over for good,
 * and into a pending copy shorter than LAZY_BELOW.
 */
#include "diff_index.h"

#include <stdlib.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cbor_generator.h"
#include "diff_generate.h"
#include "edit_script.h"
#include "myers_binary_diff.h"

namespace {

/* Bytes hashed per fingerprint, and the shortest stretch worth a copy. */
constexpr uint32_t WINDOW = 8;
constexpr uint32_t MIN_MATCH = 8;

/* Chain positions tried per position of the new value: more while the
 * index holds every position (the old value is small and its tables stay
 * in cache), fewer once it is sampled.  Text repeats its short phrases
 * hundreds of times, and the longest match for a phrase is often far down
 * its chain: the positions the scan stops at search deep; the positions a
 * short match looks ahead to, which are two for each, less deep. */
constexpr int32_t FULL_CHAIN_DEPTH = 160;
constexpr int32_t FULL_LOOKAHEAD_CHAIN_DEPTH = 64;
constexpr int32_t SAMPLED_CHAIN_DEPTH = 16;

/* A chain is walked no further once a match this long is found: past it
 * a longer one saves little, and unchanged stretches, where every position
 * the scan stops at has one, would pay the whole depth. */
constexpr uint32_t GOOD_ENOUGH = 128;

/* Index memory per sampled position: one chain link and, with the table at
 * most twice the number of samples, up to two table slots. */
constexpr uint64_t BYTES_PER_SAMPLE = 12;

/* Before a match shorter than this is taken, the next positions are tried
 * too: FULL_LOOKAHEAD of them while every position is indexed, and
 * LOOKAHEAD_STEPS sampling steps once the index is sampled, so that several
 * indexed windows of a match that starts at p are seen (the first of them
 * may sit in a crowded chain). */
constexpr uint32_t LAZY_BELOW = 64;
constexpr uint32_t FULL_LOOKAHEAD = 2;
constexpr uint32_t LOOKAHEAD_STEPS = 4;

/* How far past the end of the last copy a deletion is looked for in the
 * old value, and how many of the windows found there are tried. */
constexpr uint32_t NEARBY_REACH = 32;
constexpr int32_t NEARBY_HITS = 4;

/* While no match turns up the scan steps further and further: one more
 * byte per 2^SKIP_SHIFT bytes without a match, up to MAX_SKIP, so that no
 * match longer than MAX_SKIP + WINDOW is stepped over whole.  Whatever a
 * step jumps over is recovered by backward extension once a match is
 * found. */
constexpr uint32_t SKIP_SHIFT = 7;
constexpr uint32_t MAX_SKIP = 256;

constexpr uint64_t FINGERPRINT_MULTIPLIER = 0x9E3779B97F4A7C15ULL;
constexpr int MIN_TABLE_BITS = 4;

/* Samples between asking for a table slot and using it, and the table
 * size from which that pays.  A slot of a table far beyond the caches
 * takes longer to arrive than 16 samples take to build: 32 built a 64 MiB
 * value's index 1.15x faster, and changed nothing for smaller tables. */
constexpr uint32_t PREFETCH_AHEAD = 32;
constexpr uint64_t PREFETCH_ABOVE = 1 << 20;

/* Little-endian loads on every host, so that fingerprints, and with them
 * the candidates reached within the chain depth, do not vary by platform. */
uint64_t load64(const uint8_t *at) {
    uint64_t word;
    memcpy(&word, at, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

uint32_t fingerprint(uint64_t window, int bits) {
    return (uint32_t)((window * FINGERPRINT_MULTIPLIER) >> (64 - bits));
}

/* How many bytes from a and b on are equal, at most limit. */
uint32_t extend_forward(const uint8_t *a, const uint8_t *b, uint32_t limit) {
    uint32_t n = 0;
    while (limit - n >= 8) {
        uint64_t differ = load64(a + n) ^ load64(b + n);
        if (differ != 0)
            return n + (uint32_t)__builtin_ctzll(differ) / 8;
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        n++;
    return n;
}

/* extend_forward sixteen bytes at a time, for the fast scan: across the
 * unchanged stretches of large values this loop is most of the scan.  The
 * plain scan keeps extend_forward, and the tests compare the two scans. */
uint32_t extend_forward_wide(const uint8_t *a, const uint8_t *b, uint32_t limit) {
#if defined(__SSE2__)
    uint32_t n = 0;
    while (limit - n >= 16) {
        __m128i x = _mm_loadu_si128((const __m128i *)(const void *)(a + n));
        __m128i y = _mm_loadu_si128((const __m128i *)(const void *)(b + n));
        uint32_t differ = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)) ^ 0xFFFFu;
        if (differ != 0)
            return n + (uint32_t)__builtin_ctz(differ);
        n += 16;
    }
    return n + extend_forward(a + n, b + n, limit - n);
#else
    return extend_forward(a, b, limit);
#endif
}

/* How many bytes right before a and b are equal, at most limit. */
uint32_t extend_backward(const uint8_t *a, const uint8_t *b, uint32_t limit) {
    uint32_t n = 0;
    while (limit - n >= 8) {
        uint64_t differ = load64(a - n - 8) ^ load64(b - n - 8);
        if (differ != 0)
            return n + (uint32_t)__builtin_clzll(differ) / 8;
        n += 8;
    }
    while (n < limit && a[-1 - (int64_t)n] == b[-1 - (int64_t)n])
        n++;
    return n;
}

/* Whether all eight bytes of a window are the same. */
bool uniform(uint64_t window) {
    return window == (window & 0xFF) * 0x0101010101010101ULL;
}

/* How many bytes from at on equal byte, at most limit. */
uint32_t run_forward(const uint8_t *at, uint8_t byte, uint32_t limit) {
    uint64_t pattern = byte * 0x0101010101010101ULL;
    uint32_t n = 0;
    while (limit - n >= 8) {
        uint64_t differ = load64(at + n) ^ pattern;
        if (differ != 0)
            return n + (uint32_t)__builtin_ctzll(differ) / 8;
        n += 8;
    }
    while (n < limit && at[n] == byte)
        n++;
    return n;
}

/* How many bytes right before at equal byte, at most limit. */
uint32_t run_backward(const uint8_t *at, uint8_t byte, uint32_t limit) {
    uint32_t n = 0;
    while (n < limit && at[-1 - (int64_t)n] == byte)
        n++;
    return n;
}

/*
 * The fingerprints of the old value.  Sample k stands for the window at
 * old position k * step; head[f] holds 1 + the latest sample of fingerprint
 * f, chain[k] 1 + the sample before k with the same fingerprint (0 ends).
 */
struct old_index {
    const uint8_t *old_bytes;
    uint32_t old_length;
    uint32_t step;
    uint32_t samples;
    int bits;
    uint32_t *head;
    uint32_t *chain;
    size_t head_capacity; /* bytes of the blocks behind head and chain */
    size_t chain_capacity;
    /* The longest run of each byte value, of a whole window or more. */
    uint32_t run_start[256];
    uint32_t run_length[256];
};

/*
 * The tables' memory, kept by each thread from one call to the next: the
 * table and the chain links, each up to KEEP_AT_MOST bytes.  Blocks of
 * these sizes are ones the C allocator may serve from fresh pages on every
 * call and hand back to the system at its end; a delta of two 100 KB
 * values then spent two thirds of its time in page faults.  A block is
 * taken out of the cache while a call uses it, so nested or concurrent
 * calls never share one.
 */
constexpr size_t KEEP_AT_MOST = 2 << 20;

struct kept_block {
    void *data = nullptr;
    size_t size = 0;
    ~kept_block() { free(data); }
};

/* One for the table and one for the chain links. */
thread_local kept_block kept_table, kept_links;

/* A block of at least size bytes, its first size bytes zeroed if asked:
 * the kept one if it is large enough, else a fresh one (from calloc when
 * zeroed, which gets zeroed pages without writing them where it maps new
 * ones).  *capacity is set to the block's whole size. */
void *block_take(kept_block &kept, size_t size, bool zeroed, size_t *capacity) {
    *capacity = size;
    if (kept.data != nullptr && kept.size >= size) {
        void *data = kept.data;
        *capacity = kept.size;
        kept.data = nullptr;
        if (zeroed)
            memset(data, 0, size);
        return data;
    }
    return zeroed ? calloc(1, size) : malloc(size);
}

/* Keeps the block if it is small enough and larger than the one kept. */
void block_give(kept_block &kept, void *data, size_t size) {
    if (data == nullptr || size > KEEP_AT_MOST || (kept.data != nullptr && kept.size >= size)) {
        free(data);
        return;
    }
    free(kept.data);
    kept.data = data;
    kept.size = size;
}

size_t table_size(const old_index *index) {
    return ((size_t)1 << index->bits) * sizeof(uint32_t);
}

size_t links_size(const old_index *index) {
    return (size_t)index->samples * sizeof(uint32_t);
}

void index_free(old_index *index) {
    block_give(kept_table, index->head, index->head_capacity);
    block_give(kept_links, index->chain, index->chain_capacity);
    index->head = nullptr;
    index->chain = nullptr;
}

/*
 * A run of one byte value (zeros, above all) would fill its chain with
 * positions inside itself, and push every other run of that value beyond
 * the chain depth.  Only a run's first sample is indexed, and the longest
 * run of each value is kept aside.  Called for a sample whose window is
 * uniform; false when the sample lies inside a run already seen, which
 * ends at *run_end.
 */
__attribute__((noinline)) bool index_run(old_index *index, uint32_t position, uint8_t byte,
                                         uint32_t *run_end) {
    if (position < *run_end)
        return false;
    const uint8_t *at = index->old_bytes + position;
    uint32_t start = position - run_backward(at, byte, position - *run_end);
    *run_end = position + run_forward(at, byte, index->old_length - position);
    if (*run_end - start > index->run_length[byte]) {
        index->run_start[byte] = start;
        index->run_length[byte] = *run_end - start;
    }
    return true;
}

/*
 * Links every sample into the chain of its fingerprint, latest first.  A
 * loop of its own, with the record's fields in locals: stores through the
 * tables could otherwise alias them, and inlined into its caller the loop
 * kept its counters on the stack.
 */
template <bool Prefetch> __attribute__((noinline)) void index_link(old_index *index) {
    const uint8_t *old_bytes = index->old_bytes;
    const uint32_t samples = index->samples, step_size = index->step;
    const int bits = index->bits;
    uint32_t *head = index->head, *chain = index->chain;
    uint32_t run_end = 0;
    for (uint32_t k = 0; k < samples; k++) {
        if (Prefetch && k + PREFETCH_AHEAD < samples) {
            uint64_t ahead = load64(old_bytes + (size_t)(k + PREFETCH_AHEAD) * step_size);
            __builtin_prefetch(&head[fingerprint(ahead, bits)], 1);
        }
        uint32_t position = k * step_size;
        uint64_t window = load64(old_bytes + position);
        if (uniform(window) && !index_run(index, position, (uint8_t)window, &run_end)) {
            chain[k] = 0;
            continue;
        }
        uint32_t f = fingerprint(window, bits);
        chain[k] = head[f];
        head[f] = k + 1;
    }
}

/* Samples every step-th position, the step chosen so that the tables fit
 * the allowance.  False only when memory runs out. */
bool index_build(old_index *index, const buf *old_value, uint64_t allowance) {
    *index = old_index{};
    index->old_bytes = old_value->data;
    index->old_length = (uint32_t)old_value->len;
    index->step = 1;
    index->bits = MIN_TABLE_BITS;
    if (index->old_length < WINDOW)
        return true;
    uint64_t positions = index->old_length - WINDOW + 1;
    uint64_t step = (positions * BYTES_PER_SAMPLE + allowance - 1) / allowance;
    step = step < 1 ? 1 : step > positions ? positions : step;
    index->step = (uint32_t)step;
    index->samples = (uint32_t)((positions - 1) / step + 1);
    while ((1ULL << index->bits) < index->samples)
        index->bits++;
    index->head =
        (uint32_t *)block_take(kept_table, table_size(index), true, &index->head_capacity);
    index->chain =
        (uint32_t *)block_take(kept_links, links_size(index), false, &index->chain_capacity);
    if (index->head == nullptr || index->chain == nullptr) {
        index_free(index);
        return false;
    }
    /* A table far larger than the caches has its slots hit at random:
     * asking for a slot a few samples early hides most of the wait for it.
     * A table the caches hold is only slowed down by the extra work. */
    if (((uint64_t)1 << index->bits) * sizeof(uint32_t) > PREFETCH_ABOVE)
        index_link<true>(index);
    else
        index_link<false>(index);
    return true;
}

/* A copy of `length` bytes from old_start to new_start, and how far the
 * parse gets with it (see consider). */
struct match {
    uint32_t new_start;
    uint32_t old_start;
    uint32_t length;
    int64_t score;
};

constexpr match NO_MATCH = {0, 0, 0, INT64_MIN};

int64_t copy_cost(const match &m) {
    return cbor_head_size(m.old_start) + cbor_head_size(m.length);
}

/*
 * Where the parse stands: the last copy found, which is still pending (it
 * has not gone to the edit script yet), and the literal bytes before it.
 * A short pending copy may be taken over by a later match that extends
 * back across all of it; a long one only gives up bytes at its end.
 */
struct parse {
    match pending;          /* length 0 while there is none */
    uint32_t literal_start; /* first literal byte before the pending copy */
    uint32_t reach;         /* backward extension stops here */
    int64_t diagonal;       /* of the pending copy: old position - new position */
    int64_t anchor;         /* of the last copy of LAZY_BELOW bytes or more; 0 before one */
    uint32_t new_end() const { return pending.new_start + pending.length; }
    uint32_t old_end() const { return pending.old_start + pending.length; }
    bool droppable() const { return pending.length != 0 && pending.length < LAZY_BELOW; }
};

/* The scan's view of both values. */
struct scan {
    const old_index *index;
    const uint8_t *new_bytes;
    uint32_t new_length;
};

/*
 * Verifies old position q against new position p, extends it both ways
 * and keeps it in best if it scores higher.  The score is where the parse
 * stands after the copy, in bytes of the new value, less what it paid
 * since the pending copy: the copy pair and the literal bytes in between;
 * a copy that takes over the pending one earns its pair and the literal
 * bytes before it back.  Scores of matches through different positions
 * compare directly.
 */
template <uint32_t (*Extend)(const uint8_t *, const uint8_t *, uint32_t)>
void consider(const scan &s, uint32_t q, uint32_t p, const parse &at, match &best) {
    const old_index &index = *s.index;
    uint32_t room =
        index.old_length - q < s.new_length - p ? index.old_length - q : s.new_length - p;
    uint32_t forward = Extend(index.old_bytes + q, s.new_bytes + p, room);
    if (forward == 0)
        return;
    uint32_t back_room = q < p - at.reach ? q : p - at.reach;
    uint32_t backward = extend_backward(index.old_bytes + q, s.new_bytes + p, back_room);
    match m{p - backward, q - backward, forward + backward, 0};
    if (m.length < MIN_MATCH)
        return;
    uint32_t end = m.new_start + m.length;
    m.score = (int64_t)end - copy_cost(m);
    if (m.new_start > at.new_end())
        m.score -= m.new_start - at.new_end();
    else if (at.droppable() && m.new_start <= at.pending.new_start)
        m.score += copy_cost(at.pending) + (at.pending.new_start - m.new_start);
    if (m.score > best.score)
        best = m;
}

/* The plain check of the candidates at new position p: consider itself.
 * It is the oracle of bounded_check, which the tests run against it. */
struct plain_check {
    const scan &s;
    const parse &at;
    uint32_t p;
    plain_check(const scan &view, const parse &where, uint32_t position)
        : s(view), at(where), p(position) {}
    static constexpr auto extend = extend_forward;
    void operator()(uint32_t q, match &best) const { consider<extend>(s, q, p, at, best); }
};

/*
 * consider's verdicts, reached with less work.  Most candidates cannot
 * beat the best match found so far at p, and the work is to see that
 * cheaply.  Backward extension alone decides where a copy starts, and so
 * what its start pays or earns in the score; the copy pair costs its
 * offset's head and at least one byte more.  A candidate that extends
 * forward by fewer than `need` bytes therefore scores no higher than the
 * best, and one comparison of the 8 bytes that end there turns most
 * candidates away before their forward extension is measured.
 *
 * Every verdict, score and tie is consider's: a candidate turned away
 * would not have replaced the best, so the best, and with it the chain
 * walk's stop at GOOD_ENOUGH, is what consider leaves.
 */
struct bounded_check {
    const scan &s;
    uint32_t p;
    const uint8_t *new_at;
    uint32_t back_limit; /* backward extension stops at at.reach */
    uint32_t new_room;
    uint32_t end_before;  /* where the pending copy ends */
    uint32_t take_over;   /* a start at or before this drops the pending copy */
    int64_t pending_cost; /* what dropping it earns back besides its bytes */
    uint64_t word_before; /* the 8 bytes before p, when p has them */

    static constexpr auto extend = extend_forward_wide;

    bounded_check(const scan &view, const parse &where, uint32_t position)
        : s(view), p(position), new_at(view.new_bytes + position),
          back_limit(position - where.reach), new_room(view.new_length - position),
          end_before(where.new_end()), take_over(where.pending.new_start),
          pending_cost(where.droppable() ? copy_cost(where.pending) : -1),
          word_before(position >= 8 ? load64(view.new_bytes + position - 8) : 0) {}

    /* extend_backward from q and p, back_room > 0 bytes at most.  Most
     * candidates differ within the 8 bytes before them, which one
     * comparison with the word before p tells when q has a whole word
     * before it too. */
    __attribute__((always_inline)) uint32_t extend_back(uint32_t q, const uint8_t *old_at,
                                                        uint32_t back_room) const {
        if (q < 8 || p < 8)
            return extend_backward(old_at, new_at, back_room);
        uint64_t differ = load64(old_at - 8) ^ word_before;
        uint32_t same = differ != 0 ? (uint32_t)__builtin_clzll(differ) / 8 : 8;
        if (same < 8 || back_room <= 8)
            return same < back_room ? same : back_room;
        return 8 + extend_backward(old_at - 8, new_at - 8, back_room - 8);
    }

    /* A chain candidate q, whose window equals p's.  Inlined into the
     * chain walk, where it runs for nearly every link. */
    __attribute__((always_inline)) void operator()(uint32_t q, match &best) const {
        const old_index &index = *s.index;
        const uint8_t *old_at = index.old_bytes + q;
        uint32_t room = index.old_length - q < new_room ? index.old_length - q : new_room;
        uint32_t back_room = q < back_limit ? q : back_limit;
        uint32_t backward = back_room == 0 ? 0 : extend_back(q, old_at, back_room);
        uint32_t new_start = p - backward, old_start = q - backward;
        int64_t earned = 0;
        if (new_start > end_before)
            earned = -(int64_t)(new_start - end_before);
        else if (pending_cost >= 0 && new_start <= take_over)
            earned = pending_cost + (take_over - new_start);
        if (best.length != 0) {
            int64_t need = best.score - p - earned + cbor_head_size(old_start) + 2;
            if (need > (int64_t)room)
                return;
            if (need > (int64_t)WINDOW &&
                load64(old_at + need - WINDOW) != load64(new_at + need - WINDOW))
                return;
        }
        uint32_t forward = WINDOW + extend(old_at + WINDOW, new_at + WINDOW, room - WINDOW);
        match m{new_start, old_start, forward + backward, 0};
        m.score = (int64_t)p + forward - copy_cost(m) + earned;
        if (m.score > best.score)
            best = m;
    }
};

/*
 * Candidates right after a copy that need no index: old bytes skipped by a
 * deletion just after the pending copy.  A few are tried, nearest first.
 */
template <typename Check>
void consider_nearby(const scan &s, uint32_t p, const parse &at, uint64_t window, match &best) {
    const old_index &index = *s.index;
    if (index.old_length < WINDOW)
        return;
    uint64_t last_q = (uint64_t)at.old_end() + NEARBY_REACH;
    if (last_q > index.old_length - WINDOW)
        last_q = index.old_length - WINDOW;
    int32_t hits = 0;
    for (uint64_t q = (uint64_t)at.old_end() + 1; q <= last_q && hits < NEARBY_HITS; q++) {
        if (load64(index.old_bytes + q) == window) {
            consider<Check::extend>(s, (uint32_t)q, p, at, best);
            hits++;
        }
    }
}

/* A run in the new value is copied from the longest run of its byte in
 * the old value, lined up so that backward extension covers the part of
 * the run before p. */
template <typename Check>
void consider_run(const scan &s, uint32_t p, const parse &at, uint8_t byte, match &best) {
    const old_index &index = *s.index;
    uint32_t length = index.run_length[byte];
    if (length < WINDOW)
        return;
    uint32_t before = run_backward(s.new_bytes + p, byte, p - at.reach);
    uint32_t offset = before < length - WINDOW ? before : length - WINDOW;
    consider<Check::extend>(s, index.run_start[byte] + offset, p, at, best);
}

/*
 * The best match through new position p (which has a whole window left).
 * First the candidates that the usual edits leave: the pending copy's
 * diagonal (bytes replaced), the old bytes right after it (bytes inserted)
 * and, at the first byte after it, old bytes a little further on (bytes
 * deleted); then the diagonal of the last long copy, and the window's
 * chain, depth_limit links of it.
 *
 * The last long copy's diagonal brings the parse back after a short copy
 * from elsewhere: two edits a few bytes apart leave a short stretch on the
 * diagonal, and in a small alphabet a deep chain finds a longer stretch by
 * chance somewhere else.  Without it the diagonal would only be found
 * again through the chain, where the chance stretches crowd it out.
 */
template <typename Check>
match find(const scan &s, uint32_t p, const parse &at, int32_t depth_limit) {
    match best = NO_MATCH;
    const old_index &index = *s.index;
    int64_t q = (int64_t)p + at.diagonal;
    if (q >= 0 && q < (int64_t)index.old_length)
        consider<Check::extend>(s, (uint32_t)q, p, at, best);
    if (at.old_end() != q && at.old_end() < index.old_length)
        consider<Check::extend>(s, at.old_end(), p, at, best);
    int64_t anchored = (int64_t)p + at.anchor;
    if (anchored != q && anchored != at.old_end() && anchored >= 0 &&
        anchored < (int64_t)index.old_length)
        consider<Check::extend>(s, (uint32_t)anchored, p, at, best);
    uint64_t window = load64(s.new_bytes + p);
    if (p == at.new_end())
        consider_nearby<Check>(s, p, at, window, best);
    if (uniform(window))
        consider_run<Check>(s, p, at, (uint8_t)window, best);
    if (index.samples == 0)
        return best;
    const Check check(s, at, p);
    uint32_t link = index.head[fingerprint(window, index.bits)];
    for (int32_t depth = 0; link != 0 && depth < depth_limit && best.length < GOOD_ENOUGH;
         depth++) {
        uint32_t candidate = (link - 1) * index.step;
        link = index.chain[link - 1];
        if (load64(index.old_bytes + candidate) == window && candidate != q)
            check(candidate, best);
    }
    return best;
}

/* Hands the literal bytes from literal_start up to the copy, then the
 * copy, to the script. */
bool emit(edit_script *script, uint32_t literal_start, const match &m) {
    if (m.new_start > literal_start &&
        !edit_script_insert(script, (int32_t)literal_start, (int32_t)(m.new_start - literal_start)))
        return false;
    return edit_script_match(script, (int32_t)m.old_start, (int32_t)m.length);
}

/*
 * Makes next the pending copy.  The one pending so far is dropped when
 * next starts at or before it, cut short when next starts inside it, and
 * handed to the script otherwise.
 */
bool advance(edit_script *script, parse &at, const match &next) {
    uint32_t literal_start = at.literal_start;
    if (at.pending.length != 0 && next.new_start > at.pending.new_start) {
        match kept = at.pending;
        if (next.new_start < kept.new_start + kept.length)
            kept.length = next.new_start - kept.new_start;
        if (!emit(script, literal_start, kept))
            return false;
        literal_start = kept.new_start + kept.length;
    }
    at.pending = next;
    at.literal_start = literal_start;
    at.diagonal = (int64_t)next.old_start - next.new_start;
    if (next.length >= LAZY_BELOW)
        at.anchor = at.diagonal;
    at.reach = at.droppable() ? literal_start : at.new_end();
    return true;
}

/* Scans the new value into the script; MYERS_DELTA when the script holds
 * the complete delta, MYERS_REPLACE when its budget ran out. */
template <typename Check>
int32_t index_scan(const old_index *index, const buf *new_value, edit_script *script) {
    scan s{index, new_value->data, (uint32_t)new_value->len};
    parse at{NO_MATCH, 0, 0, 0, 0};
    uint32_t p = 0;
    bool full = index->step == 1;
    uint32_t lookahead = full ? FULL_LOOKAHEAD : index->step * LOOKAHEAD_STEPS;
    int32_t depth = full ? FULL_CHAIN_DEPTH : SAMPLED_CHAIN_DEPTH;
    int32_t lookahead_depth = full ? FULL_LOOKAHEAD_CHAIN_DEPTH : SAMPLED_CHAIN_DEPTH;
    while (s.new_length >= WINDOW && p <= s.new_length - WINDOW) {
        match best = find<Check>(s, p, at, depth);
        if (best.length == 0) {
            uint32_t skip = 1 + ((p - at.new_end()) >> SKIP_SHIFT);
            p += skip < MAX_SKIP ? skip : MAX_SKIP;
            continue;
        }
        /* A short match may hide a better one a few bytes on: one that
         * starts there, or one whose start was not sampled and which is
         * reached from its next indexed window, then grown back. */
        uint32_t ahead = p + lookahead;
        for (uint32_t next_p = p + 1;
             best.length < LAZY_BELOW && next_p <= ahead && next_p <= s.new_length - WINDOW;
             next_p++) {
            match next = find<Check>(s, next_p, at, lookahead_depth);
            if (next.score > best.score)
                best = next;
        }
        if (!advance(script, at, best))
            return MYERS_REPLACE;
        p = at.new_end();
    }
    if (at.pending.length != 0 && !emit(script, at.literal_start, at.pending))
        return MYERS_REPLACE;
    uint32_t literal_start = at.new_end();
    if (s.new_length > literal_start &&
        !edit_script_insert(script, (int32_t)literal_start,
                            (int32_t)(s.new_length - literal_start)))
        return MYERS_REPLACE;
    return edit_script_close(script) ? MYERS_DELTA : MYERS_REPLACE;
}

/* Set by the test hook: every candidate goes through consider itself. */
bool plain_checks = false;

} // namespace

void _diff_index_force_plain(bool plain) {
    plain_checks = plain;
}

buf *diff_index_generate_binary_ex(const buf *old_value, const buf *new_value,
                                   uint64_t index_allowance) {
    if (!diff_generate_comparable(old_value) || !diff_generate_comparable(new_value))
        return nullptr;
    if (buf_cmp(old_value, new_value) == 0)
        return diff_generate_outcome(new_value, nullptr, MYERS_NO_CHANGE);
    if (index_allowance == 0)
        index_allowance = old_value->len > DIFF_INDEX_DEFAULT_ALLOWANCE_FLOOR
                              ? old_value->len
                              : DIFF_INDEX_DEFAULT_ALLOWANCE_FLOOR;
    old_index index;
    if (!index_build(&index, old_value, index_allowance))
        return nullptr;
    edit_script *script = edit_script_create(old_value, new_value);
    buf *result = nullptr;
    if (script != nullptr)
        result = diff_generate_outcome(new_value, script,
                                       plain_checks
                                           ? index_scan<plain_check>(&index, new_value, script)
                                           : index_scan<bounded_check>(&index, new_value, script));
    index_free(&index);
    edit_script_free(script);
    return result;
}

buf *diff_index_generate_binary(const buf *old_value, const buf *new_value) {
    return diff_index_generate_binary_ex(old_value, new_value, 0);
}
