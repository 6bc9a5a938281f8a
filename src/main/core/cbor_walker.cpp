/*
 * cbor_walker.cpp - the checking walk over CBOR items.
 *
 * Heads are read by the parser's own head reader (and floats by its table
 * entries), so the walker and the tokenizer cannot disagree on what a head
 * says; the walker adds what the tokenizer leaves open: nesting, the rules
 * of indefinite items, UTF-8, and refusals instead of skipped bytes.  The
 * simple values the tokenizer reports on standard error are decoded here
 * without it, so a walk never writes anything.
 */
#include "cbor_walker.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr uint8_t SMALL_ARGUMENT_LIMIT = 24; /* below it, the argument is the info itself */
constexpr uint8_t FIRST_RESERVED_INFO = 28;
constexpr uint8_t INDEFINITE_INFO = 31;

constexpr int MAJOR_UINT = 0;
constexpr int MAJOR_NEGINT = 1;
constexpr int MAJOR_BYTES = 2;
constexpr int MAJOR_TEXT = 3;
constexpr int MAJOR_MAP = 5;
constexpr int MAJOR_TAG = 6;

constexpr uint8_t SIMPLE_ONE_BYTE_LIMIT = 24; /* 0xE0 + n for n below this */
constexpr uint8_t SIMPLE_TWO_BYTE = 0xF8;
constexpr uint8_t SIMPLE_TWO_BYTE_MIN = 32; /* lower values have a one-byte form only */
constexpr uint8_t FLOAT16 = 0xF9;
constexpr uint8_t FLOAT64 = 0xFB;
constexpr uint8_t BREAK = 0xFF;

constexpr uint64_t TAG_POSITIVE_BIGNUM = 2;
constexpr uint64_t TAG_NEGATIVE_BIGNUM = 3;

constexpr uint64_t FIRST_FRAME_CAPACITY = 16;

/* Something to point at for an empty joined string. */
const uint8_t empty_string[1] = {0};

uint64_t offset_of(const cbor_walker *walker) {
    return static_cast<uint64_t>(walker->parser.cursor - walker->parser.start);
}

uint64_t readable(const cbor_walker *walker) {
    return walker->parser.size - offset_of(walker);
}

/*
 * The head under the cursor, by the parser's head reader; an argument held
 * in the initial byte itself (most counts, lengths and integers in real
 * data) is taken here without the call.
 */
inline int read_head(cbor_walker *walker, uint64_t *argument) {
    const uint8_t info = *walker->parser.cursor & ADDITIONAL_INFO_MASK;
    if (info < SMALL_ARGUMENT_LIMIT) {
        walker->parser.cursor++;
        *argument = info;
        return 0;
    }
    uint8_t initial = 0;
    return cbor_parse_head(&walker->parser, &initial, argument);
}

int fail(cbor_walker *walker, int status, uint64_t offset, uint64_t argument = 0) {
    walker->status = status;
    walker->error_offset = offset;
    walker->error_argument = argument;
    return status;
}

/*
 * Where the first byte that is not well-formed UTF-8 starts, or length when
 * there is none: shortest forms only, no surrogates, nothing above U+10FFFF,
 * as the interpreter's strict decoder demands.  Runs of ASCII are skipped
 * eight bytes at a time.
 */
uint64_t utf8_error_at(const uint8_t *text, uint64_t length, bool *ascii) {
    constexpr uint64_t high_bits = 0x8080808080808080ULL;
    bool only_ascii = true;
    uint64_t i = 0;
    auto continuation = [&](uint64_t at) { return (text[at] & 0xC0) == 0x80; };
    while (i < length) {
        if (length - i >= sizeof(uint64_t)) {
            uint64_t word;
            memcpy(&word, text + i, sizeof word);
            if ((word & high_bits) == 0) {
                i += sizeof word;
                continue;
            }
        }
        uint8_t lead = text[i];
        if (lead < 0x80) {
            i++;
            continue;
        }
        only_ascii = false;
        uint64_t left = length - i;
        if (lead >= 0xC2 && lead <= 0xDF) {
            if (left < 2 || !continuation(i + 1)) {
                return i;
            }
            i += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            if (left < 3 || !continuation(i + 1) || !continuation(i + 2) ||
                (lead == 0xE0 && text[i + 1] < 0xA0) || (lead == 0xED && text[i + 1] > 0x9F)) {
                return i;
            }
            i += 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            if (left < 4 || !continuation(i + 1) || !continuation(i + 2) || !continuation(i + 3) ||
                (lead == 0xF0 && text[i + 1] < 0x90) || (lead == 0xF4 && text[i + 1] > 0x8F)) {
                return i;
            }
            i += 4;
        } else {
            return i;
        }
    }
    *ascii = only_ascii;
    return length;
}

/* Checks text content that starts at input offset `at`. */
int check_text(cbor_walker *walker, const uint8_t *text, uint64_t length, uint64_t at,
               bool *ascii) {
    uint64_t bad = utf8_error_at(text, length, ascii);
    if (bad != length) {
        return fail(walker, CBOR_WALKER_BAD_UTF8, at + bad);
    }
    return CBOR_WALKER_OK;
}

int reserve_joined(cbor_walker *walker, uint64_t needed) {
    if (needed <= walker->joined_capacity) {
        return CBOR_WALKER_OK;
    }
    uint64_t capacity = walker->joined_capacity * 2;
    if (capacity < needed) {
        capacity = needed;
    }
    /* The joined chunks never exceed the input, so neither need the block. */
    if (capacity > walker->parser.size) {
        capacity = walker->parser.size;
    }
    auto *grown = static_cast<uint8_t *>(realloc(walker->joined, capacity));
    if (grown == nullptr) {
        return fail(walker, CBOR_WALKER_NO_MEMORY, offset_of(walker));
    }
    walker->joined = grown;
    walker->joined_capacity = capacity;
    return CBOR_WALKER_OK;
}

/*
 * The string whose head starts at `at` (the cursor stands on it): a
 * definite one is handed out in place; the chunks of an indefinite one,
 * each a definite string of the same major type, are joined.
 */
int read_string(cbor_walker *walker, uint64_t at, cbor_walker_token *token) {
    uint64_t length = 0;
    const int major = *walker->parser.cursor >> MAJOR_TYPE_SHIFT;
    const bool text = major == MAJOR_TEXT;
    bool ascii = true;
    if ((*walker->parser.cursor & ADDITIONAL_INFO_MASK) != INDEFINITE_INFO) {
        if (read_head(walker, &length) < 0 || length > readable(walker)) {
            return fail(walker, CBOR_WALKER_TRUNCATED, at);
        }
        const uint8_t *content = walker->parser.cursor;
        if (text && walker->text_checked_by_caller) {
            ascii = false;
        } else if (text && check_text(walker, content, length, offset_of(walker), &ascii) < 0) {
            return walker->status;
        }
        walker->parser.cursor += length;
        token->bytes = content;
        token->length = length;
        token->ascii = ascii;
        return CBOR_WALKER_OK;
    }
    walker->parser.cursor++;
    uint64_t joined = 0;
    for (;;) {
        const uint64_t chunk_at = offset_of(walker);
        if (readable(walker) == 0) {
            return fail(walker, CBOR_WALKER_TRUNCATED, chunk_at);
        }
        const uint8_t chunk_initial = *walker->parser.cursor;
        if (chunk_initial == BREAK) {
            walker->parser.cursor++;
            break;
        }
        const uint8_t info = chunk_initial & ADDITIONAL_INFO_MASK;
        if (chunk_initial >> MAJOR_TYPE_SHIFT != major || info >= FIRST_RESERVED_INFO) {
            return fail(walker, CBOR_WALKER_BAD_CHUNK, chunk_at, chunk_initial);
        }
        if (read_head(walker, &length) < 0 || length > readable(walker)) {
            return fail(walker, CBOR_WALKER_TRUNCATED, chunk_at);
        }
        const uint8_t *content = walker->parser.cursor;
        bool chunk_ascii = true;
        if (text && check_text(walker, content, length, offset_of(walker), &chunk_ascii) < 0) {
            return walker->status;
        }
        ascii = ascii && chunk_ascii;
        if (length > 0) {
            if (reserve_joined(walker, joined + length) < 0) {
                return walker->status;
            }
            memcpy(walker->joined + joined, content, length);
            joined += length;
        }
        walker->parser.cursor += length;
    }
    token->bytes = joined == 0 ? empty_string : walker->joined;
    token->length = joined;
    token->ascii = ascii;
    return CBOR_WALKER_OK;
}

int push_frame(cbor_walker *walker, uint8_t kind, uint64_t remaining, bool indefinite,
               uint8_t key) {
    if (walker->depth == walker->frame_capacity) {
        uint64_t capacity =
            walker->frame_capacity == 0 ? FIRST_FRAME_CAPACITY : walker->frame_capacity * 2;
        auto *grown = static_cast<cbor_walker_frame *>(
            realloc(walker->frames, capacity * sizeof(cbor_walker_frame)));
        if (grown == nullptr) {
            return fail(walker, CBOR_WALKER_NO_MEMORY, offset_of(walker));
        }
        walker->frames = grown;
        walker->frame_capacity = capacity;
    }
    cbor_walker_frame *frame = &walker->frames[walker->depth++];
    frame->remaining = remaining;
    frame->kind = kind;
    frame->key = key != 0;
    frame->indefinite = indefinite;
    frame->awaiting_value = 0;
    return CBOR_WALKER_OK;
}

/* Arrays, maps and tags: the head's token, and a frame for what follows.
 * A definite count is checked against the unread bytes (each element takes
 * at least one), so the caller may size its container by it. */
int open_container(cbor_walker *walker, int major, uint64_t at, cbor_walker_token *token) {
    uint64_t argument = 0;
    const bool indefinite =
        major != MAJOR_TAG && (*walker->parser.cursor & ADDITIONAL_INFO_MASK) == INDEFINITE_INFO;
    if (indefinite) {
        walker->parser.cursor++;
        argument = CBOR_WALKER_INDEFINITE;
    } else if (read_head(walker, &argument) < 0) {
        return fail(walker, CBOR_WALKER_TRUNCATED, at);
    }
    uint64_t items = argument;
    uint8_t kind = CBOR_WALKER_ARRAY;
    if (major == MAJOR_MAP) {
        kind = CBOR_WALKER_MAP;
        if (!indefinite && argument > readable(walker) / 2) {
            return fail(walker, CBOR_WALKER_TRUNCATED, at);
        }
        items = argument * 2;
    } else if (major == MAJOR_TAG) {
        if (argument == TAG_POSITIVE_BIGNUM || argument == TAG_NEGATIVE_BIGNUM) {
            const uint64_t content_at = offset_of(walker);
            if (readable(walker) == 0) {
                return fail(walker, CBOR_WALKER_TRUNCATED, content_at);
            }
            if (*walker->parser.cursor >> MAJOR_TYPE_SHIFT != MAJOR_BYTES) {
                return fail(walker, CBOR_WALKER_BAD_BIGNUM, at, argument);
            }
            /* The content's head is read without the item checks, so its
             * reserved forms are refused here rather than taken as empty. */
            const uint8_t content_info = *walker->parser.cursor & ADDITIONAL_INFO_MASK;
            if (content_info >= FIRST_RESERVED_INFO && content_info != INDEFINITE_INFO) {
                return fail(walker, CBOR_WALKER_RESERVED, content_at, *walker->parser.cursor);
            }
            token->kind = CBOR_WALKER_BIGNUM;
            token->argument = argument;
            return read_string(walker, content_at, token);
        }
        kind = CBOR_WALKER_TAG;
        items = 1;
    } else if (!indefinite && argument > readable(walker)) {
        return fail(walker, CBOR_WALKER_TRUNCATED, at);
    }
    token->kind = kind;
    token->argument = argument;
    return push_frame(walker, kind, items, indefinite, token->key);
}

/* Major type 7: simple values, floats; the break is handled by the caller. */
int read_simple_or_float(cbor_walker *walker, uint8_t initial, uint64_t at,
                         cbor_walker_token *token) {
    const uint8_t info = initial & ADDITIONAL_INFO_MASK;
    if (info < SIMPLE_ONE_BYTE_LIMIT) {
        walker->parser.cursor++;
        token->kind = CBOR_WALKER_SIMPLE;
        token->argument = info;
        return CBOR_WALKER_OK;
    }
    if (initial == SIMPLE_TWO_BYTE) {
        if (readable(walker) < 2) {
            return fail(walker, CBOR_WALKER_TRUNCATED, at);
        }
        const uint8_t value = walker->parser.cursor[1];
        if (value < SIMPLE_TWO_BYTE_MIN) {
            return fail(walker, CBOR_WALKER_BAD_SIMPLE, at, value);
        }
        walker->parser.cursor += 2;
        token->kind = CBOR_WALKER_SIMPLE;
        token->argument = value;
        return CBOR_WALKER_OK;
    }
    if (initial >= FLOAT16 && initial <= FLOAT64) {
        cbor_val item;
        memset(&item, 0, sizeof item);
        if (cbor_jump_table[initial](&walker->parser, &item, initial) < 0) {
            return fail(walker, CBOR_WALKER_TRUNCATED, at);
        }
        token->kind = CBOR_WALKER_FLOAT;
        token->real = item.value.real;
        return CBOR_WALKER_OK;
    }
    return fail(walker, CBOR_WALKER_RESERVED, at, initial);
}

/* The item under the cursor, in the frame on top of the stack (if any). */
int read_item(cbor_walker *walker, uint64_t at, cbor_walker_token *token) {
    const uint8_t initial = *walker->parser.cursor;
    const int major = initial >> MAJOR_TYPE_SHIFT;
    const uint8_t info = initial & ADDITIONAL_INFO_MASK;
    if (major == 7) {
        return read_simple_or_float(walker, initial, at, token);
    }
    if (info >= FIRST_RESERVED_INFO && info != INDEFINITE_INFO) {
        return fail(walker, CBOR_WALKER_RESERVED, at, initial);
    }
    switch (major) {
    case MAJOR_UINT:
    case MAJOR_NEGINT: {
        token->kind = major == MAJOR_UINT ? CBOR_WALKER_UINT : CBOR_WALKER_NEGINT;
        if (info == INDEFINITE_INFO) {
            return fail(walker, CBOR_WALKER_BAD_INDEFINITE, at, initial);
        }
        if (read_head(walker, &token->argument) < 0) {
            return fail(walker, CBOR_WALKER_TRUNCATED, at);
        }
        return CBOR_WALKER_OK;
    }
    case MAJOR_BYTES:
    case MAJOR_TEXT:
        token->kind = major == MAJOR_BYTES ? CBOR_WALKER_BYTES : CBOR_WALKER_TEXT;
        return read_string(walker, at, token);
    case MAJOR_TAG:
        if (info == INDEFINITE_INFO) {
            return fail(walker, CBOR_WALKER_BAD_INDEFINITE, at, initial);
        }
        return open_container(walker, major, at, token);
    default:
        return open_container(walker, major, at, token);
    }
}

/* The sentence of each failure: its format and the order in which it
 * names the offset and the failure's argument. */
enum text_order { offset_only, argument_then_offset, offset_then_argument };

struct error_text {
    int status;
    const char *format;
    text_order order;
};

const error_text error_texts[] = {
    {CBOR_WALKER_TRUNCATED,
     "truncated input: an item at byte %" PRIu64 " needs more bytes than remain", offset_only},
    {CBOR_WALKER_TRAILING, "trailing bytes after the item, from byte %" PRIu64, offset_only},
    {CBOR_WALKER_UNEXPECTED_BREAK,
     "break at byte %" PRIu64 " outside an indefinite-length array or map (or after a map key)",
     offset_only},
    {CBOR_WALKER_BAD_CHUNK,
     "initial byte 0x%02" PRIx64 " at byte %" PRIu64
     " is not a definite-length chunk of the indefinite-length string",
     argument_then_offset},
    {CBOR_WALKER_BAD_UTF8, "invalid UTF-8 in a text string at byte %" PRIu64, offset_only},
    {CBOR_WALKER_RESERVED,
     "reserved additional information in initial byte 0x%02" PRIx64 " at byte %" PRIu64,
     argument_then_offset},
    {CBOR_WALKER_BAD_INDEFINITE,
     "initial byte 0x%02" PRIx64 " at byte %" PRIu64
     " asks for an indefinite length its major type does not have",
     argument_then_offset},
    {CBOR_WALKER_BAD_SIMPLE,
     "simple value %" PRIu64 " at byte %" PRIu64 " must be written in one byte, not two",
     argument_then_offset},
    {CBOR_WALKER_TOO_DEEP, "item at byte %" PRIu64 " is nested deeper than max_depth %" PRIu64,
     offset_then_argument},
    {CBOR_WALKER_BAD_BIGNUM, "bignum tag %" PRIu64 " at byte %" PRIu64 " must hold a byte string",
     argument_then_offset},
    {CBOR_WALKER_NO_MEMORY, "out of memory at byte %" PRIu64, offset_only},
};

const error_text no_error_text = {CBOR_WALKER_OK, "no error at byte %" PRIu64, offset_only};

} // namespace

TOVAREL_BEGIN_DECLS

cbor_walker *cbor_walker_create(const void *data, uint64_t size, uint64_t max_depth) {
    auto *walker = static_cast<cbor_walker *>(calloc(1, sizeof(cbor_walker)));
    if (walker == nullptr) {
        return nullptr;
    }
    walker->parser.start = static_cast<const uint8_t *>(data);
    walker->parser.size = size;
    walker->parser.cursor = walker->parser.start;
    walker->max_depth = max_depth;
    return walker;
}

void cbor_walker_free(cbor_walker *walker) {
    if (walker == nullptr) {
        return;
    }
    free(walker->frames);
    free(walker->joined);
    free(walker);
}

uint64_t cbor_walker_offset(const cbor_walker *walker) {
    return offset_of(walker);
}

int cbor_walker_next(cbor_walker *walker, cbor_walker_token *token) {
    if (walker->status < 0) {
        return walker->status;
    }
    const uint64_t at = offset_of(walker);
    token->key = 0;
    token->offset = at;
    token->argument = 0;
    cbor_walker_frame *top = walker->depth > 0 ? &walker->frames[walker->depth - 1] : nullptr;
    if (top != nullptr && !top->indefinite && top->remaining == 0) {
        walker->depth--;
        token->kind = CBOR_WALKER_END;
        return CBOR_WALKER_OK;
    }
    if (readable(walker) == 0) {
        return fail(walker, CBOR_WALKER_TRUNCATED, at);
    }
    if (*walker->parser.cursor == BREAK) {
        /* Only an indefinite array, or a map between pairs, ends here;
         * indefinite strings take their own break. */
        if (top == nullptr || !top->indefinite || top->awaiting_value) {
            return fail(walker, CBOR_WALKER_UNEXPECTED_BREAK, at);
        }
        walker->parser.cursor++;
        walker->depth--;
        token->kind = CBOR_WALKER_END;
        return CBOR_WALKER_OK;
    }
    if (walker->depth > walker->max_depth) {
        return fail(walker, CBOR_WALKER_TOO_DEEP, at, walker->max_depth);
    }
    if (top != nullptr) {
        if (top->key) {
            token->key = 2;
        } else if (top->kind == CBOR_WALKER_MAP) {
            const bool is_key = top->indefinite ? !top->awaiting_value : top->remaining % 2 == 0;
            token->key = is_key ? 1 : 0;
        }
        /* The item is counted in its frame before it may push one of its
         * own, which then becomes the top. */
        if (top->indefinite) {
            top->awaiting_value = top->kind == CBOR_WALKER_MAP && !top->awaiting_value;
        } else {
            top->remaining--;
        }
    }
    return read_item(walker, at, token);
}

int cbor_walker_finish(cbor_walker *walker) {
    if (walker->status < 0) {
        return walker->status;
    }
    if (readable(walker) > 0) {
        return fail(walker, CBOR_WALKER_TRAILING, offset_of(walker));
    }
    return CBOR_WALKER_OK;
}

size_t cbor_walker_error_message(const cbor_walker *walker, char *out, size_t size) {
    const uint64_t at = walker->error_offset;
    const uint64_t argument = walker->error_argument;
    const error_text *text = &no_error_text;
    for (const error_text &candidate : error_texts) {
        if (candidate.status == walker->status) {
            text = &candidate;
        }
    }
    int written = 0;
    switch (text->order) {
    case offset_only:
        written = snprintf(out, size, text->format, at);
        break;
    case argument_then_offset:
        written = snprintf(out, size, text->format, argument, at);
        break;
    default:
        written = snprintf(out, size, text->format, at, argument);
        break;
    }
    if (written < 0) {
        return 0;
    }
    return static_cast<size_t>(written) < size ? static_cast<size_t>(written)
                                               : (size == 0 ? 0 : size - 1);
}

TOVAREL_END_DECLS
