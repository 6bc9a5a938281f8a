/*
 * diff_compact_generate.cpp - the compact delta: which copies to start
 * from, the approximate pass, the compact writer, and the choice of the
 * smallest correct result.
 *
 * The index method runs first.  Where its copies cover nearly all of the
 * new value (sparse edits, a new build of the same code), they are what
 * the compact form is built on: the match finder could only find the same
 * long copies, more slowly.  Elsewhere the compact form's own match finder
 * runs as well, since most of such a value is short copies and repeats of
 * itself, which the index method does not look for, unless the value is
 * noise.  Either way the index
 * method's plain delta is at hand, and is returned where it is smaller.
 */
#include "diff_compact_generate.h"

#include "diff_apply.h"
#include "diff_compact_approx.h"
#include "diff_compact_match.h"
#include "diff_compact_parse.h"
#include "diff_compact_probe.h"
#include "diff_compact_write.h"
#include "diff_generate.h"
#include "diff_index.h"

namespace {

/* The index method's copies suffice when they leave at most this share
 * of the new value (1/16) to literals: a new build of the same code (a
 * 10 MB extension module between two patch releases leaves 4%) gains
 * little from the match finder, which there costs as much time again. */
constexpr uint64_t SPARSE_LITERAL_SHIFT = 4;

/* Where the index method's copies leave at most a quarter of a value of
 * AROUND_FROM bytes or more to literals, the match finder keeps them and
 * searches only what they leave: two to three times faster on such new
 * builds, and smaller too, since its exact copies would cut the index
 * method's long approximate ones into pieces (a 3.5 MB and a 5.8 MB
 * module of a scientific package between patch releases: 14% and 5%
 * smaller; a 0.8 MB one 7% larger).  Below that share the value has
 * changed too much for the index method's copies to be the right frame
 * (a 2 MB module and a 30 MB library between interpreter versions come
 * out 5% and 1.3% larger around them), and small values, among them
 * source text, are searched whole: it costs little there, and text gains
 * from the search's own short copies. */
constexpr uint64_t AROUND_LITERAL_SHIFT = 2;
constexpr uint64_t AROUND_FROM = 256 << 10;

/* Bytes that carry this many bits each are taken for
 * noise (compressed or encrypted data): nothing in them repeats, and the
 * match finder would only spend its time to find that out. */
constexpr double NOISE_BITS = 7.9;

/* A value longer than SAMPLE_BLOCKS * SAMPLE_BLOCK bytes is judged by
 * that many blocks spread evenly over it: the order-0 entropy of 8 KiB of
 * noise comes out within 0.03 bits of 8, clear of NOISE_BITS, and the
 * question is asked of every value before its index stage (to pick that
 * stage's level), where a look at every byte of 100 KB of source text
 * cost a tenth of the whole compact delta's time. */
constexpr uint64_t SAMPLE_BLOCKS = 32;
constexpr uint64_t SAMPLE_BLOCK = 256;

/* Whether the new value's order-0 entropy is that of noise. */
bool incompressible(const buf *value) {
    return diff_compact_entropy_bits(value, SAMPLE_BLOCKS, SAMPLE_BLOCK) >= NOISE_BITS;
}

bool is_no_change(const buf *delta) {
    return delta->len == 1 && delta->data[0] == DIFF_NO_CHANGE;
}

/* No bound on the compact form's size. */
constexpr uint64_t NO_LIMIT = UINT64_MAX;

/* The compact form of a parse, after the approximate pass; null when
 * memory runs out or when it would take `limit` bytes or more. */
buf *write_parse(diff_compact_parse *parse, const buf *old_value, const buf *new_value,
                 uint64_t limit) {
    if (!diff_compact_approx_extend(parse, old_value, new_value)) {
        return nullptr;
    }
    return diff_compact_write_below(old_value, new_value, parse, limit);
}

uint64_t covered(const diff_compact_parse &parse) {
    uint64_t bytes = 0;
    for (uint64_t i = 0; i < parse.count; i++) {
        bytes += parse.copies[i].length;
    }
    return bytes;
}

/* The compact form of the match finder's copies, searched around
 * `anchors` (all of the new value where it has none); null as for
 * write_parse. */
buf *matcher_form(const buf *old_value, const buf *new_value, const diff_compact_parse *anchors,
                  uint64_t limit) {
    diff_compact_parse found = {nullptr, 0, 0};
    buf *form = nullptr;
    if (diff_compact_match_around(&found, old_value, new_value, anchors)) {
        form = write_parse(&found, old_value, new_value, limit);
    }
    diff_compact_parse_release(&found);
    return form;
}

/* The smaller of two candidates, freeing the other; either may be null. */
buf *smaller(buf *a, buf *b) {
    if (a == nullptr || (b != nullptr && b->len < a->len)) {
        buf_free(a);
        return b;
    }
    buf_free(b);
    return a;
}

/* The compact form from the index method's plain delta, and, unless that
 * covered nearly everything, from the match finder's copies around the
 * index method's; the smaller of the two, or null when neither came below
 * `limit` (or memory ran out for both).  Where both are made, the match
 * finder's goes first: it is the smaller on most such pairs (its short
 * copies and repeats win where the index method left much to literals),
 * and the other is then dropped as soon as its codes show that it cannot
 * beat it, before it is written.  Around the index method's copies only
 * the match finder's is made (see below). */
buf *compact_form(const buf *old_value, const buf *new_value, const buf *plain, uint64_t limit,
                  bool noise) {
    diff_compact_parse parse = {nullptr, 0, 0};
    bool parsed = diff_compact_parse_from_delta(&parse, old_value, plain) == DIFF_APPLY_OK;
    uint64_t literals = parsed ? new_value->len - covered(parse) : new_value->len;
    bool search = !parsed || (literals > new_value->len >> SPARSE_LITERAL_SHIFT && !noise);
    // Where the index method left more than a quarter of the value to
    // literals, the match finder searches it whole, and its copies made
    // the smaller form on every such pair measured (a 220 KB and a 2 MB
    // module, a 30 MB library): the index method's are neither extended
    // nor written.
    bool index_form = !(search && literals > new_value->len >> AROUND_LITERAL_SHIFT);
    parsed = parsed && index_form && diff_compact_approx_extend(&parse, old_value, new_value);
    buf *from_matcher = nullptr;
    bool around = false;
    if (!parsed || search) {
        around = parsed && new_value->len >= AROUND_FROM &&
                 literals <= new_value->len >> AROUND_LITERAL_SHIFT;
        const diff_compact_parse none = {nullptr, 0, 0};
        from_matcher = matcher_form(old_value, new_value, around ? &parse : &none, limit);
    }
    // A search around the index method's copies keeps them, and fills the
    // bytes between: the index method's own form came out smaller on no
    // compiled pair measured, and by 0.1% at most on three generated ones,
    // while counting its symbols before giving it up cost 3% to 4% of the
    // instructions of a new build of a 0.8 MB or a 5.8 MB module.  It is
    // written only where the match finder's form is missing.
    buf *from_index = nullptr;
    if (parsed && !(around && from_matcher != nullptr)) {
        from_index = diff_compact_write_below(old_value, new_value, &parse,
                                              from_matcher != nullptr ? from_matcher->len : limit);
    }
    diff_compact_parse_release(&parse);
    return smaller(from_matcher, from_index);
}

/*
 * The index method's plain delta at `level`, scanned by as many threads as
 * there are cores, as the plain index method's differ does: the parts of
 * its scan are fixed by the new value's length, so the delta is the same
 * for any count of threads, and with one thread the compact form would pay
 * its first stage twice the plain method's time.
 */
buf *index_delta(const buf *old_value, const buf *new_value, int32_t level) {
    diff_index_options options{0, level, 0};
    return diff_index_generate_binary_with_options(old_value, new_value, &options);
}

/* The index stage runs at this level for a new value of FAST_INDEX_FROM
 * bytes or more that is not noise: 15% to 30% fewer instructions than
 * level 0 on source text and on compiled binaries (a 2 MB module: 368 M
 * against 298 M), for copies that leave 0% to 1.5% more to literals, and
 * which the compact stage mostly recovers (source text between interpreter
 * versions: 0.6% larger in total; binaries: 0.3%).  Level 2 would save
 * more on most values, but made the index method 2.6 times slower on one
 * new build of a 2.5 MB module, and text 1.8% larger. */
constexpr int32_t FAST_INDEX_LEVEL = 1;
/* Below this the index stage is cheap, and the plain delta is often what
 * is returned (a few edits to a small value): level 0 makes it the one
 * the plain index method would give. */
constexpr uint64_t FAST_INDEX_FROM = 32 << 10;
/* Where the compact form does not come at least this share (1/16) below
 * the faster level's plain delta, the plain delta may be what is returned,
 * and level 0's is made too, so that the result is not larger than the
 * plain index method's: the plain deltas of the two levels were within
 * 1.5% of each other on every pair measured, well inside the margin.  Not
 * where the plain delta is under 1/64 of the new value (PLAIN_TINY_SHIFT):
 * its copies then cover nearly all of the value, long ones that either
 * level finds at its first probe (a 31 MB library and a 130 KB source
 * file with 1 to 1000 edits: the same size at both levels, or within
 * 0.6%), and a second index stage would double the time of exactly the
 * values that are quickest to compare. */
constexpr uint64_t PLAIN_MARGIN_SHIFT = 4;
constexpr uint64_t PLAIN_TINY_SHIFT = 6;

/* Whether level 0's plain delta should be made as well; see above. */
bool level_zero_too(int32_t level, const buf *new_value, const buf *plain, const buf *compact) {
    return level != 0 && plain->len >= new_value->len >> PLAIN_TINY_SHIFT &&
           (compact == nullptr || compact->len > plain->len - (plain->len >> PLAIN_MARGIN_SHIFT));
}

int32_t index_level_for(const buf *new_value, bool noise) {
    return new_value->len >= FAST_INDEX_FROM && !noise ? FAST_INDEX_LEVEL : 0;
}

/* The probe runs before the index stage for a new value of PROBE_FROM
 * bytes or more that is not noise: below that the index stage costs the
 * compact delta little (a tenth or less of a 200 KB module's), and the
 * index method's copies are written as a candidate where they leave up to
 * a quarter to literals, which a small value's match finder does not
 * always beat. */
constexpr uint64_t PROBE_FROM = 128 << 10;

/*
 * Where more than 3/8 of the probe's positions are literal, the index
 * method would leave more than a quarter of the value to literals, the
 * match finder would search all of it, and the index stage's copies would
 * go unused: its plain delta only served as the fallback result.  The
 * probe read within 0.06 of the index method's literal share on the
 * compiled pairs measured (0.46 to 0.75 for two modules and a library
 * between interpreter versions, 0.01 to 0.13 for new builds of the same
 * code), and a little above it on generated pairs near the cut: 3/8 leaves
 * a margin on both sides.
 */
constexpr uint64_t SPARE_LITERALS_EIGHTHS = 3;

/*
 * From an old value of COARSE_PROBE_FROM bytes on, the coarse probe runs
 * first, and where it reads at most an eighth of the value as literal the
 * index stage runs without the fine probe: the fine probe's table of the
 * old value's windows took 2.6 ms of a 10 MB module's 36 ms, which between
 * two builds of the same code only confirmed that the stage was needed.
 * Trying the diagonal first, the coarse probe reads fewer literals than
 * the fine one (0 to 0.09 less on new builds of the same code, 0.05 to
 * 0.14 less on modules and a library between interpreter versions, which
 * it read at 0.39 to 0.61), so its cut is well below the fine probe's 3/8.
 * Where it is wrong, the index stage runs as it did before there was a
 * probe, and the result is what the index method's copies give.  It costs
 * 0.15 ms where the fine probe then runs after all (a 2 MB module).
 */
constexpr uint64_t COARSE_PROBE_FROM = 1 << 20;
constexpr uint64_t COARSE_LITERALS_EIGHTHS = 1;

bool index_stage_spared(const buf *old_value, const buf *new_value, bool noise,
                        diff_compact_probe_result *probe) {
    if (new_value->len < PROBE_FROM || noise) {
        return false;
    }
    if (old_value->len >= COARSE_PROBE_FROM) {
        diff_compact_probe_result coarse = diff_compact_probe_coarse(old_value, new_value);
        if (coarse.points != 0 &&
            8 * (coarse.points - coarse.copied) <= COARSE_LITERALS_EIGHTHS * coarse.points) {
            return false;
        }
    }
    *probe = diff_compact_probe_literals(old_value, new_value);
    return probe->points != 0 &&
           8 * (probe->points - probe->copied) > SPARE_LITERALS_EIGHTHS * probe->points;
}

/*
 * Without the index stage there is no plain delta to fall back on, so the
 * match finder's form is returned only where it comes below 3/4 of the
 * literal bytes that the probe saw: the index method's plain delta holds
 * all of its literal bytes, which the probe read within a tenth where it
 * spared the stage (0.19 to 0.31 of the new value came out, against
 * bounds of 0.34 to 0.56).  Above that the index stage runs after all, and
 * the smaller result is kept, so the bound on the result stays that of the
 * index method's plain delta.
 */
constexpr uint64_t FORM_BOUND_QUARTERS = 3;

bool spared_form_holds(const buf *form, const buf *new_value,
                       const diff_compact_probe_result &probe) {
    // At most 2^31 * 4 * 512 on the left, and 3 * 512 * 2^31 on the right.
    return form != nullptr && form->len * 4 * probe.points <= FORM_BOUND_QUARTERS *
                                                                  (probe.points - probe.copied) *
                                                                  new_value->len;
}

/* The index stage of both entries: its plain delta (null for values
 * without their bytes, or when memory runs out), and the level it ran at. */
struct first_stage {
    buf *plain;
    int32_t level;
};

first_stage index_stage(const buf *old_value, const buf *new_value, bool noise) {
    int32_t level = index_level_for(new_value, noise);
    return {index_delta(old_value, new_value, level), level};
}

/* What the two entries share: the compact form where the probe spares the
 * index stage and the form holds (`plain` then null), or else the index
 * stage's plain delta and the compact form (null when none came below the
 * plain delta where `bounded`, or memory ran out), the latter from the
 * match finder's whole search where the probe had it run. */
struct candidates {
    buf *plain;
    buf *compact;
    int32_t level;
};

candidates generate(const buf *old_value, const buf *new_value, bool bounded) {
    if (!diff_generate_comparable(old_value) || !diff_generate_comparable(new_value)) {
        return {nullptr, nullptr, 0};
    }
    bool noise = incompressible(new_value);
    buf *searched = nullptr;
    diff_compact_probe_result probe = {0, 0};
    if (index_stage_spared(old_value, new_value, noise, &probe)) {
        const diff_compact_parse none = {nullptr, 0, 0};
        searched = matcher_form(old_value, new_value, &none, NO_LIMIT);
        if (spared_form_holds(searched, new_value, probe)) {
            return {nullptr, searched, 0};
        }
    }
    first_stage first = index_stage(old_value, new_value, noise);
    // The test entry asks for the compact form even of equal values.
    if (first.plain == nullptr || (bounded && is_no_change(first.plain))) {
        buf_free(searched);
        return {first.plain, nullptr, first.level};
    }
    // A compact stage that ran out of memory leaves the plain delta, which
    // is correct, only larger.
    buf *compact = searched;
    if (compact == nullptr) {
        compact = compact_form(old_value, new_value, first.plain,
                               bounded ? first.plain->len : NO_LIMIT, noise);
    }
    return {first.plain, compact, first.level};
}

} // namespace

TOVAREL_BEGIN_DECLS

buf *diff_compact_generate_binary(const buf *old_value, const buf *new_value) {
    candidates found = generate(old_value, new_value, true);
    buf *plain = found.plain;
    if (plain == nullptr) {
        return found.compact;
    }
    if (is_no_change(plain)) {
        return plain;
    }
    if (level_zero_too(found.level, new_value, plain, found.compact)) {
        plain = smaller(plain, index_delta(old_value, new_value, 0));
    }
    return smaller(plain, found.compact);
}

buf *_diff_compact_generate_form(const buf *old_value, const buf *new_value) {
    candidates found = generate(old_value, new_value, false);
    if (found.plain == nullptr && found.compact == nullptr) {
        return nullptr;
    }
    buf_free(found.plain);
    return found.compact;
}

TOVAREL_END_DECLS
