/*
 * cbor_measure.cpp - the measuring scan over the structure of one item.
 *
 * The scan moves in whole steps: a head with all its bytes, a definite
 * string with all its content, one chunk, one break.  A step that would
 * need bytes beyond those given leaves no trace, so the next call with more
 * bytes starts it again from its first byte; everything before it is never
 * looked at twice.  Each check is the walker's, made at the same point, so
 * the two agree on what is short and what is wrong.
 */
#include "cbor_measure.h"

#include <cstdlib>

#include "cbor_generator.h"

namespace {

constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr uint8_t SMALL_ARGUMENT_LIMIT = 24; /* below it, the argument is the info itself */
constexpr uint8_t LAST_SIZED_INFO = 27;      /* 24..27: 1, 2, 4 or 8 argument bytes */
constexpr uint8_t FIRST_RESERVED_INFO = 28;
constexpr uint8_t INDEFINITE_INFO = 31;

constexpr uint8_t SIMPLE_TWO_BYTE = 0xF8;
constexpr uint8_t SIMPLE_TWO_BYTE_MIN = 32; /* lower values have a one-byte form only */
constexpr uint8_t FLOAT16 = 0xF9;
constexpr uint8_t FLOAT64 = 0xFB;
constexpr uint8_t BREAK = 0xFF;

constexpr uint64_t TAG_POSITIVE_BIGNUM = 2;
constexpr uint64_t TAG_NEGATIVE_BIGNUM = 3;

constexpr uint64_t FIRST_FRAME_CAPACITY = 16;

/* What one step found. */
enum class step { done, short_by, malformed, no_memory };

struct Scan {
    cbor_measure *measure;
    const uint8_t *data;
    uint64_t size;
    uint64_t missing = 0;   /* short_by: bytes the step itself still lacks */
    bool may_close = false; /* short_by with no byte at all: the next may be a break */

    uint64_t readable(uint64_t at) const { return size - at; }

    step short_by(uint64_t bytes) {
        missing = bytes;
        return step::short_by;
    }

    /* The head at `at`: its size in bytes and its argument; short_by when
     * the bytes end inside it.  Reserved information is the caller's. */
    step head(uint64_t at, uint64_t *head_size, uint64_t *argument) {
        const uint8_t info = data[at] & ADDITIONAL_INFO_MASK;
        if (info < SMALL_ARGUMENT_LIMIT || info > LAST_SIZED_INFO) {
            *head_size = 1;
            *argument = info < SMALL_ARGUMENT_LIMIT ? info : 0;
            return step::done;
        }
        const uint64_t width = uint64_t{1} << (info - SMALL_ARGUMENT_LIMIT);
        if (readable(at) < 1 + width) {
            return short_by(1 + width - readable(at));
        }
        uint64_t value = 0;
        for (uint64_t i = 1; i <= width; i++) {
            value = (value << 8) | data[at + i];
        }
        *head_size = 1 + width;
        *argument = value;
        return step::done;
    }

    /* A definite string (or chunk) at `at`: head plus content. */
    step definite_string(uint64_t at, uint64_t *taken) {
        uint64_t head_size = 0;
        uint64_t length = 0;
        if (head(at, &head_size, &length) != step::done) {
            return step::short_by;
        }
        const uint64_t content = readable(at) - head_size;
        if (length > content) {
            return short_by(length - content);
        }
        *taken = head_size + length;
        return step::done;
    }

    bool push(uint64_t remaining, bool indefinite, bool is_map) {
        if (measure->depth == measure->frame_capacity) {
            const uint64_t capacity =
                measure->frame_capacity == 0 ? FIRST_FRAME_CAPACITY : measure->frame_capacity * 2;
            auto *grown = static_cast<cbor_measure_frame *>(
                realloc(measure->frames, capacity * sizeof(cbor_measure_frame)));
            if (grown == nullptr) {
                return false;
            }
            measure->frames = grown;
            measure->frame_capacity = capacity;
        }
        cbor_measure_frame *frame = &measure->frames[measure->depth++];
        frame->remaining = remaining;
        frame->indefinite = indefinite;
        frame->is_map = is_map;
        frame->awaiting_value = 0;
        return true;
    }

    /* Counts an item that has just been read whole in the open frame. */
    void count_item() {
        if (measure->depth == 0) {
            return;
        }
        cbor_measure_frame *top = &measure->frames[measure->depth - 1];
        if (top->indefinite) {
            top->awaiting_value = top->is_map && !top->awaiting_value;
        } else {
            top->remaining--;
        }
    }

    /* One chunk or the closing break of an indefinite string. */
    step chunk(uint64_t at) {
        if (readable(at) == 0) {
            may_close = true;
            return short_by(1);
        }
        const uint8_t initial = data[at];
        if (initial == BREAK) {
            measure->string_major = 0;
            measure->offset = at + 1;
            return step::done;
        }
        if (initial >> MAJOR_TYPE_SHIFT != measure->string_major ||
            (initial & ADDITIONAL_INFO_MASK) >= FIRST_RESERVED_INFO) {
            return step::malformed;
        }
        uint64_t taken = 0;
        if (definite_string(at, &taken) != step::done) {
            return step::short_by;
        }
        measure->offset = at + taken;
        return step::done;
    }

    /* A string whose head is at `at`: whole when definite; when indefinite,
     * its opening byte, after which the chunks follow one step each. */
    step string(uint64_t at, int major) {
        if ((data[at] & ADDITIONAL_INFO_MASK) == INDEFINITE_INFO) {
            measure->string_major = static_cast<uint8_t>(major);
            measure->offset = at + 1;
            return step::done;
        }
        uint64_t taken = 0;
        if (definite_string(at, &taken) != step::done) {
            return step::short_by;
        }
        measure->offset = at + taken;
        return step::done;
    }

    /* The byte string a bignum tag holds; it is no item of its own, so no
     * depth check applies to it and it is not counted again. */
    step bignum_content(uint64_t at) {
        if ((data[at] & ADDITIONAL_INFO_MASK) >= FIRST_RESERVED_INFO &&
            (data[at] & ADDITIONAL_INFO_MASK) != INDEFINITE_INFO) {
            return step::malformed;
        }
        const step result = string(at, CBOR_MAJOR_BYTE_STRING);
        if (result == step::done) {
            measure->bignum_content = 0;
        }
        return result;
    }

    /* Arrays, maps and tags: the head, and a frame for what follows. */
    step container(uint64_t at, int major) {
        const uint8_t info = data[at] & ADDITIONAL_INFO_MASK;
        if (major != CBOR_MAJOR_TAG && info == INDEFINITE_INFO) {
            count_item();
            if (!push(0, true, major == CBOR_MAJOR_MAP)) {
                return step::no_memory;
            }
            measure->offset = at + 1;
            return step::done;
        }
        uint64_t head_size = 0;
        uint64_t argument = 0;
        if (head(at, &head_size, &argument) != step::done) {
            return step::short_by;
        }
        const uint64_t after = at + head_size;
        const uint64_t left = readable(after);
        uint64_t items = argument;
        if (major == CBOR_MAJOR_MAP) {
            /* Every key and value takes at least a byte. */
            if (argument > left / 2) {
                return short_by(argument > (UINT64_MAX - left) / 2 ? UINT64_MAX
                                                                   : argument * 2 - left);
            }
            items = argument * 2;
        } else if (major == CBOR_MAJOR_ARRAY) {
            if (argument > left) {
                return short_by(argument - left);
            }
        } else {
            if (argument == TAG_POSITIVE_BIGNUM || argument == TAG_NEGATIVE_BIGNUM) {
                if (left == 0) {
                    return short_by(1);
                }
                if (data[after] >> MAJOR_TYPE_SHIFT != CBOR_MAJOR_BYTE_STRING) {
                    return step::malformed;
                }
                count_item();
                measure->bignum_content = 1;
                measure->offset = after;
                return step::done;
            }
            items = 1;
        }
        count_item();
        if (!push(items, false, major == CBOR_MAJOR_MAP)) {
            return step::no_memory;
        }
        measure->offset = after;
        return step::done;
    }

    /* Major type 7 apart from the break: simple values and floats. */
    step simple_or_float(uint64_t at) {
        const uint8_t initial = data[at];
        const uint8_t info = initial & ADDITIONAL_INFO_MASK;
        uint64_t taken = 1;
        if (initial == SIMPLE_TWO_BYTE) {
            if (readable(at) < 2) {
                return short_by(1);
            }
            if (data[at + 1] < SIMPLE_TWO_BYTE_MIN) {
                return step::malformed;
            }
            taken = 2;
        } else if (initial >= FLOAT16 && initial <= FLOAT64) {
            taken = 1 + (uint64_t{1} << (info - SMALL_ARGUMENT_LIMIT));
            if (readable(at) < taken) {
                return short_by(taken - readable(at));
            }
        } else if (info >= SMALL_ARGUMENT_LIMIT) {
            return step::malformed;
        }
        count_item();
        measure->offset = at + taken;
        return step::done;
    }

    /* The next item, the end of a definite container, or a break. */
    step next() {
        const uint64_t at = measure->offset;
        if (measure->string_major != 0) {
            return chunk(at);
        }
        cbor_measure_frame *top =
            measure->depth > 0 ? &measure->frames[measure->depth - 1] : nullptr;
        if (top != nullptr && !top->indefinite && top->remaining == 0) {
            measure->depth--;
            return step::done;
        }
        if (readable(at) == 0) {
            may_close = true;
            return short_by(1);
        }
        const uint8_t initial = data[at];
        if (measure->bignum_content) {
            return bignum_content(at);
        }
        if (initial == BREAK) {
            if (top == nullptr || !top->indefinite || top->awaiting_value) {
                return step::malformed;
            }
            measure->depth--;
            measure->offset = at + 1;
            return step::done;
        }
        if (measure->depth > measure->max_depth) {
            return step::malformed;
        }
        const int major = initial >> MAJOR_TYPE_SHIFT;
        const uint8_t info = initial & ADDITIONAL_INFO_MASK;
        if (major == CBOR_MAJOR_SIMPLE) {
            return simple_or_float(at);
        }
        if (info >= FIRST_RESERVED_INFO && info != INDEFINITE_INFO) {
            return step::malformed;
        }
        if (major == CBOR_MAJOR_BYTE_STRING || major == CBOR_MAJOR_TEXT_STRING) {
            const step result = string(at, major);
            if (result == step::done) {
                count_item();
            }
            return result;
        }
        if (major <= CBOR_MAJOR_NEGINT || major == CBOR_MAJOR_TAG) {
            if (info == INDEFINITE_INFO) {
                return step::malformed;
            }
        }
        if (major <= CBOR_MAJOR_NEGINT) {
            uint64_t head_size = 0;
            uint64_t argument = 0;
            if (head(at, &head_size, &argument) != step::done) {
                return step::short_by;
            }
            count_item();
            measure->offset = at + head_size;
            return step::done;
        }
        return container(at, major);
    }

    /* A lower bound of the bytes still to come once a step fell short:
     * what the step lacks, a byte for each item still due in each frame (the
     * short step's own item among them) and one for each break due.  When
     * no byte of the step is there, that byte may itself be the break that
     * ends the innermost indefinite item, which then needs no other. */
    uint64_t needed(bool short_step_is_item) const {
        uint64_t total = missing;
        auto add = [&total](uint64_t bytes) {
            total = bytes > UINT64_MAX - total ? UINT64_MAX : total + bytes;
        };
        const bool in_string = measure->string_major != 0;
        for (uint64_t i = 0; i < measure->depth; i++) {
            const cbor_measure_frame &frame = measure->frames[i];
            const bool innermost = i + 1 == measure->depth;
            if (frame.indefinite) {
                /* A map that awaits a value needs it and its break; the
                 * short step may be that value. */
                if (frame.awaiting_value) {
                    add(short_step_is_item && innermost ? 1 : 2);
                } else if (!(may_close && innermost && short_step_is_item)) {
                    add(1);
                }
            } else {
                uint64_t due = frame.remaining;
                if (short_step_is_item && innermost && due > 0) {
                    due--;
                }
                add(due);
            }
        }
        if (in_string && !may_close) {
            add(1);
        }
        return total;
    }
};

} // namespace

TOVAREL_BEGIN_DECLS

cbor_measure *cbor_measure_create(uint64_t max_depth) {
    auto *measure = static_cast<cbor_measure *>(calloc(1, sizeof(cbor_measure)));
    if (measure == nullptr) {
        return nullptr;
    }
    measure->max_depth = max_depth;
    return measure;
}

void cbor_measure_free(cbor_measure *measure) {
    if (measure == nullptr) {
        return;
    }
    free(measure->frames);
    free(measure);
}

void cbor_measure_reset(cbor_measure *measure) {
    measure->offset = 0;
    measure->depth = 0;
    measure->string_major = 0;
    measure->bignum_content = 0;
    measure->status = CBOR_MEASURE_COMPLETE;
}

int cbor_measure_item(cbor_measure *measure, const void *data, uint64_t size, uint64_t *length) {
    if (measure->status < 0) {
        return measure->status;
    }
    Scan scan{measure, static_cast<const uint8_t *>(data), size};
    for (;;) {
        if (measure->offset > 0 && measure->depth == 0 && measure->string_major == 0 &&
            !measure->bignum_content) {
            *length = measure->offset;
            return CBOR_MEASURE_COMPLETE;
        }
        /* Whether a short step is an item counted in a definite frame:
         * anything but a chunk, the bignum's content or the break. */
        const bool item_step = measure->string_major == 0 && !measure->bignum_content;
        switch (scan.next()) {
        case step::done:
            break;
        case step::short_by:
            *length = scan.needed(item_step);
            return CBOR_MEASURE_NEEDS_MORE;
        case step::malformed:
            measure->status = CBOR_MEASURE_MALFORMED;
            return measure->status;
        default:
            measure->status = CBOR_MEASURE_NO_MEMORY;
            return measure->status;
        }
    }
}

TOVAREL_END_DECLS
