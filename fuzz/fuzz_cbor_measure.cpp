/*
 * fuzz_cbor_measure.cpp - measures arbitrary bytes as a CBOR sequence, item
 * after item, and checks the measurer against the checking walker:
 *
 *   - over the same bytes, an item the walker reads whole is COMPLETE with
 *     the walker's length, one it finds truncated NEEDS_MORE, one it refuses
 *     for its structure MALFORMED (text it refuses as UTF-8 may be any of
 *     them: the measurer leaves text to the decoder);
 *   - fed in pieces (every byte for short inputs, split points drawn from
 *     the input for long ones), the resumed measurer says at each point what
 *     a fresh one says over the same bytes, and ends with the answer the
 *     whole input gives;
 *   - for an item that is complete, every NEEDS_MORE on the way asks for
 *     no byte beyond the item's end, so a reader of a pipe that reads just
 *     as many never takes bytes of the next item;
 *   - the measurer keeps at most max_depth + 1 frames, and reads nothing
 *     outside the bytes given (each piece sits in an exactly sized block);
 *   - the deterministic check, in both orders, run as a stream reader runs
 *     it (on each item the measurer finds complete, alone in a block of its
 *     size, then on the rest once an item is short or malformed), refuses
 *     the same item for the same rule at the same offset, counted from the
 *     start of the stream, as the check of the whole sequence at once.
 *
 * The first input byte is the depth limit; the rest is the sequence.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cbor_deterministic.h"
#include "cbor_measure.h"
#include "cbor_walker.h"
#include "reference_cbor.h"

namespace {

/* Inputs up to this size are fed byte by byte; longer ones in pieces. */
constexpr size_t BYTE_BY_BYTE_LIMIT = 512;

struct WalkedItem {
    int status = CBOR_WALKER_OK;
    uint64_t length = 0;
};

/* The walker's reading of the first item of data[0, size). */
WalkedItem walk_first(const uint8_t *data, size_t size, uint64_t max_depth) {
    WalkedItem result;
    cbor_walker *walker = cbor_walker_create(data, size, max_depth);
    REFERENCE_CHECK(walker != nullptr, 0);
    uint64_t depth = 0;
    for (;;) {
        cbor_walker_token token;
        const int status = cbor_walker_next(walker, &token);
        if (status != CBOR_WALKER_OK) {
            result.status = status;
            break;
        }
        if (token.kind == CBOR_WALKER_ARRAY || token.kind == CBOR_WALKER_MAP ||
            token.kind == CBOR_WALKER_TAG) {
            depth++;
            continue;
        }
        if (token.kind == CBOR_WALKER_END) {
            depth--;
        }
        if (depth == 0) {
            result.length = cbor_walker_offset(walker);
            break;
        }
    }
    cbor_walker_free(walker);
    return result;
}

struct Measured {
    int status;
    uint64_t length;
};

/* A fresh measurer's answer over a copy of data[0, size) in a block of
 * exactly that size. */
Measured measure_fresh(const uint8_t *data, size_t size, uint64_t max_depth) {
    cbor_measure *measure = cbor_measure_create(max_depth);
    REFERENCE_CHECK(measure != nullptr, 0);
    auto *copy = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    REFERENCE_CHECK(copy != nullptr, 0);
    memcpy(copy, data, size);
    Measured result{};
    result.status = cbor_measure_item(measure, copy, size, &result.length);
    REFERENCE_CHECK(measure->depth <= max_depth + 1, size);
    free(copy);
    cbor_measure_free(measure);
    return result;
}

bool same(const Measured &a, const Measured &b) {
    return a.status == b.status && (a.status < 0 || a.length == b.length);
}

/* The piece sizes of one item's feeding: byte by byte, or drawn from the
 * bytes themselves so that the fuzzer steers them. */
std::vector<size_t> split_points(const uint8_t *data, size_t size) {
    std::vector<size_t> points;
    if (size <= BYTE_BY_BYTE_LIMIT) {
        for (size_t p = 0; p <= size; p++) {
            points.push_back(p);
        }
        return points;
    }
    size_t p = 0;
    size_t i = 0;
    while (p < size) {
        points.push_back(p);
        p += 1 + data[i++ % size] * 7U;
    }
    points.push_back(size);
    return points;
}

/* Checks the item that starts at data[0]; returns its length, or 0 when
 * the sequence cannot go on past it. */
uint64_t check_item(const uint8_t *data, size_t size, uint64_t max_depth) {
    const WalkedItem walked = walk_first(data, size, max_depth);
    const Measured whole = measure_fresh(data, size, max_depth);
    switch (walked.status) {
    case CBOR_WALKER_OK:
        REFERENCE_CHECK(whole.status == CBOR_MEASURE_COMPLETE, 0);
        REFERENCE_CHECK(whole.length == walked.length, walked.length);
        break;
    case CBOR_WALKER_TRUNCATED:
        REFERENCE_CHECK(whole.status == CBOR_MEASURE_NEEDS_MORE, 0);
        break;
    case CBOR_WALKER_BAD_UTF8:
        break;
    default:
        REFERENCE_CHECK(whole.status == CBOR_MEASURE_MALFORMED, 0);
        break;
    }

    cbor_measure *resumed = cbor_measure_create(max_depth);
    REFERENCE_CHECK(resumed != nullptr, 0);
    Measured last{CBOR_MEASURE_NEEDS_MORE, 1};
    for (size_t p : split_points(data, size)) {
        auto *piece = static_cast<uint8_t *>(malloc(p == 0 ? 1 : p));
        REFERENCE_CHECK(piece != nullptr, p);
        memcpy(piece, data, p);
        Measured now{};
        now.status = cbor_measure_item(resumed, piece, p, &now.length);
        free(piece);
        REFERENCE_CHECK(same(now, measure_fresh(data, p, max_depth)), p);
        if (whole.status == CBOR_MEASURE_COMPLETE) {
            if (p < whole.length) {
                REFERENCE_CHECK(now.status == CBOR_MEASURE_NEEDS_MORE, p);
                REFERENCE_CHECK(now.length >= 1 && now.length <= whole.length - p, p);
            } else {
                REFERENCE_CHECK(same(now, whole), p);
            }
        }
        last = now;
        if (now.status != CBOR_MEASURE_NEEDS_MORE) {
            break;
        }
    }
    REFERENCE_CHECK(same(last, whole), size);
    cbor_measure_free(resumed);
    return whole.status == CBOR_MEASURE_COMPLETE ? whole.length : 0;
}

constexpr int ORDERS[] = {CBOR_DETERMINISTIC_CORE, CBOR_DETERMINISTIC_LENGTH_FIRST};

/* The deterministic check of the whole sequence, which the checks item by
 * item must reproduce: rule and offset per order, until one is met. */
struct Verdicts {
    int rule[2];
    uint64_t offset[2];
    bool met[2] = {false, false};
};

/* The check of data[0, size) (one item, or the rest of the stream), alone in
 * an exactly sized block, agrees with the whole sequence's answer once
 * its offsets count from base; an item that passes tells nothing yet. */
void check_deterministic(const uint8_t *data, size_t size, uint64_t base, uint64_t max_depth,
                         Verdicts &verdicts) {
    auto *copy = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    REFERENCE_CHECK(copy != nullptr, base);
    memcpy(copy, data, size);
    for (int which = 0; which < 2; which++) {
        if (verdicts.met[which]) {
            continue;
        }
        uint64_t offset = 0;
        const int rule = cbor_deterministic_check(copy, size, ORDERS[which], max_depth, 0, &offset);
        if (rule != CBOR_DETERMINISTIC_OK) {
            REFERENCE_CHECK(rule == verdicts.rule[which], base);
            REFERENCE_CHECK(base + offset == verdicts.offset[which], base + offset);
            verdicts.met[which] = true;
        }
    }
    free(copy);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *raw, size_t raw_size) {
    if (raw_size == 0) {
        return 0;
    }
    const uint64_t max_depth = raw[0];
    const uint8_t *data = raw + 1;
    size_t size = raw_size - 1;
    Verdicts verdicts{};
    for (int which = 0; which < 2; which++) {
        verdicts.rule[which] = cbor_deterministic_check(data, size, ORDERS[which], max_depth, 1,
                                                        &verdicts.offset[which]);
    }
    uint64_t base = 0;
    while (size > 0) {
        const uint64_t length = check_item(data, size, max_depth);
        /* A stream reader decodes a complete item alone, and the rest of
         * its input once an item is short or malformed. */
        check_deterministic(data, length == 0 ? size : length, base, max_depth, verdicts);
        if (length == 0) {
            break;
        }
        data += length;
        size -= length;
        base += length;
    }
    for (int which = 0; which < 2; which++) {
        REFERENCE_CHECK(verdicts.met[which] || verdicts.rule[which] == CBOR_DETERMINISTIC_OK, base);
    }
    return 0;
}
