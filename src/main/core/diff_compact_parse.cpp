/*
 * diff_compact_parse.cpp - the list of copies that the compact writer
 * encodes, and reading one back from a plain delta.
 */
#include "diff_compact_parse.h"

#include <cstdlib>

#include "diff_apply.h"

namespace {

constexpr int MAJOR_TYPE_SHIFT = 5;
constexpr uint8_t MAJOR_UINT = 0;
constexpr uint8_t MAJOR_BYTE_STRING = 2;
constexpr uint8_t MAJOR_TEXT_STRING = 3;
constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
constexpr uint8_t ADDITIONAL_INFO_INDEFINITE = 31;
/* Additional information 24 to 27: an argument of 1, 2, 4 or 8 bytes. */
constexpr uint8_t FIRST_SIZED_INFO = 24;
constexpr uint8_t LAST_SIZED_INFO = 27;
constexpr uint64_t FIRST_CAPACITY = 64;

/* A plain delta's item as the plain reader sees it. */
struct item {
    uint8_t major;
    uint64_t argument;
    bool indefinite;
};

/* The bytes of a plain delta still to read. */
struct reader {
    const uint8_t *cursor;
    const uint8_t *end;
};

/*
 * Reads one head as cbor_parse_head does (a reserved or indefinite head
 * has the argument 0); false at the end (status OK) or for a head cut
 * short.  Decoded here rather than through the CBOR parser's entry: the
 * index method's delta of a large binary holds hundreds of thousands of
 * heads, and the call and its checks cost more than the head itself.
 */
bool next_head(reader &in, item &out, int32_t &status) {
    status = DIFF_APPLY_OK;
    if (in.cursor == in.end) {
        return false;
    }
    uint8_t initial = *in.cursor++;
    uint8_t info = initial & ADDITIONAL_INFO_MASK;
    uint64_t argument = info;
    if (info >= FIRST_SIZED_INFO) {
        argument = 0;
    }
    if (info >= FIRST_SIZED_INFO && info <= LAST_SIZED_INFO) {
        unsigned width = 1u << (info - FIRST_SIZED_INFO);
        if (static_cast<uint64_t>(in.end - in.cursor) < width) {
            status = DIFF_APPLY_CUT_SHORT;
            return false;
        }
        for (unsigned i = 0; i < width; i++) {
            argument = argument << 8 | in.cursor[i];
        }
        in.cursor += width;
    }
    out.major = static_cast<uint8_t>(initial >> MAJOR_TYPE_SHIFT);
    out.indefinite = info == ADDITIONAL_INFO_INDEFINITE;
    out.argument = argument;
    return true;
}

bool inside(uint64_t offset, uint64_t length, uint64_t limit) {
    return offset <= limit && length <= limit - offset;
}

/* Walks the plain delta's items, adding its copies to the parse. */
int32_t read_copies(diff_compact_parse *parse, const buf *old_value, const buf *delta) {
    reader parser = {delta->data, delta->data + delta->len};
    uint64_t target = 0;
    int32_t status = DIFF_APPLY_OK;
    item head = {};
    while (next_head(parser, head, status)) {
        if (head.major == MAJOR_UINT) {
            uint64_t offset = head.argument;
            if (!next_head(parser, head, status) || head.major != MAJOR_UINT ||
                !inside(offset, head.argument, old_value->len)) {
                return status == DIFF_APPLY_NO_MEMORY ? status : DIFF_APPLY_BAD_COPY;
            }
            if (head.argument > 0 &&
                !diff_compact_parse_add(parse, target, offset, head.argument)) {
                return DIFF_APPLY_NO_MEMORY;
            }
            target += head.argument;
        } else if ((head.major == MAJOR_BYTE_STRING || head.major == MAJOR_TEXT_STRING) &&
                   !head.indefinite) {
            auto left = static_cast<uint64_t>(parser.end - parser.cursor);
            if (head.argument > left) {
                return DIFF_APPLY_CUT_SHORT;
            }
            parser.cursor += head.argument;
            target += head.argument;
        }
    }
    return status;
}

} // namespace

TOVAREL_BEGIN_DECLS

bool diff_compact_parse_grow(diff_compact_parse *parse) {
    uint64_t grown = parse->capacity == 0 ? FIRST_CAPACITY : parse->capacity * 2;
    if (grown > SIZE_MAX / sizeof(diff_compact_copy)) {
        return false;
    }
    auto *block = static_cast<diff_compact_copy *>(
        realloc(parse->copies, static_cast<size_t>(grown) * sizeof(diff_compact_copy)));
    if (block == nullptr) {
        return false;
    }
    parse->copies = block;
    parse->capacity = grown;
    return true;
}

void diff_compact_parse_release(diff_compact_parse *parse) {
    free(parse->copies);
    *parse = {nullptr, 0, 0};
}

bool diff_compact_parse_valid(const diff_compact_parse *parse, uint64_t old_length,
                              uint64_t new_length) {
    uint64_t end = 0;
    for (uint64_t i = 0; i < parse->count; i++) {
        const diff_compact_copy &copy = parse->copies[i];
        bool from_old = copy.source < old_length;
        if (copy.length == 0 || copy.target < end ||
            !inside(copy.target, copy.length, new_length) ||
            (from_old ? !inside(copy.source, copy.length, old_length)
                      : copy.source - old_length >= copy.target)) {
            return false;
        }
        end = copy.target + copy.length;
    }
    return true;
}

int32_t diff_compact_parse_from_delta(diff_compact_parse *parse, const buf *old_value,
                                      const buf *delta) {
    if (!buf_has_its_bytes(old_value) || !buf_has_its_bytes(delta)) {
        return DIFF_APPLY_NO_INPUT;
    }
    int32_t status = DIFF_APPLY_OK;
    if (delta->len == 1 && delta->data[0] == DIFF_NO_CHANGE) {
        if (old_value->len > 0 && !diff_compact_parse_add(parse, 0, 0, old_value->len)) {
            status = DIFF_APPLY_NO_MEMORY;
        }
    } else {
        status = read_copies(parse, old_value, delta);
    }
    if (status != DIFF_APPLY_OK) {
        diff_compact_parse_release(parse);
    }
    return status;
}

TOVAREL_END_DECLS
