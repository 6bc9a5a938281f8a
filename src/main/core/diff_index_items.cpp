/*
 * diff_index_items.cpp - writes the index method's copies as delta items.
 *
 * The rules are those of the edit script, in 64 bits: at most one
 * insertion and one copy are pending, so that a short copy is folded into
 * the insertion next to it when its literal bytes cost no more; every item
 * is charged at its encoded size against a budget of the new value's size,
 * and the first item that would use it up gives the replacement delta.
 */
#include "diff_index_items.h"

#include <stdlib.h>
#include <string.h>

#include "cbor_generator.h"
#include "large_pages.hpp"

namespace diff_index {
namespace {

/* A copy pair's length head is charged as one byte when the two forms are
 * compared: literal bytes only win for copies of a few bytes, whose length
 * always fits the initial byte. */
constexpr int64_t SHORT_LENGTH_HEAD = 1;

/* Room for the longest head, twice over for a copy pair. */
constexpr int ITEM_HEADS_MAX = 18;

/* The longest gap on a diagonal that the writer checks for old bytes. */
constexpr uint64_t BRIDGE_MOST = 256;

/* An output that outgrows this many bytes is reserved at once (see
 * append). */
constexpr uint64_t OUTPUT_RESERVE_FROM = LARGE_PAGE;

/* Copies a list starts with room for. */
constexpr uint64_t FIRST_CAPACITY = 256;

int64_t head_size(uint64_t value) {
    return cbor_head_size(value);
}

/* Takes cost bytes from the budget and says whether the item fits. */
bool charge(item_writer *out, int64_t cost) {
    out->budget -= cost;
    return out->budget > 0;
}

/*
 * Appends what the output's block has no room for.  Every byte written is
 * charged against the budget first, so the items never reach the new
 * value's size.  An output growing past OUTPUT_RESERVE_FROM (a delta
 * mostly of literal bytes) is given that size at once, with large pages
 * asked for the rest of it: grown by doubling, a library's 26 MB of items
 * moved through blocks of up to twice that, each faulted in anew a small
 * page at a time, 7 thousand faults a call.  Smaller outputs grow as
 * before, in blocks the allocator reuses from call to call.  A reservation
 * refused leaves the output to grow as it writes.  Kept out of line, so
 * that the append it serves stays small enough to be inlined.
 */
__attribute__((noinline)) bool grow_and_append(item_writer *out, const void *bytes,
                                               uint64_t count) {
    buf *output = out->output;
    if (count <= UINT64_MAX - output->len && output->len + count > OUTPUT_RESERVE_FROM) {
        uint64_t need = output->len + count;
        uint64_t wanted = out->new_length > need ? out->new_length : need;
        if (_buf_reserve(output, wanted)) {
            out->reserved = true;
            large_pages_advise(output->data + output->len, output->capacity - output->len);
            memcpy(output->data + output->len, bytes, static_cast<size_t>(count));
            output->len = need;
            return true;
        }
    }
    if (!_buf_append(output, bytes, count)) {
        out->out_of_memory = true;
        return false;
    }
    return true;
}

/* Appends to the output, straight into its block while that has room: a
 * copy takes up to three appends, and the buffer's own append, a call that
 * checks for growth and for a source inside the block, was a tenth of the
 * writer's time on a compiled module's pair. */
bool append(item_writer *out, const void *bytes, uint64_t count) {
    buf *output = out->output;
    if (count <= output->capacity - output->len) {
        if (count != 0) {
            memcpy(output->data + output->len, bytes, static_cast<size_t>(count));
        }
        output->len += count;
        return true;
    }
    return grow_and_append(out, bytes, count);
}

/* Writes the pending insertion, then the pending copy. */
bool flush(item_writer *out) {
    if (out->insert_pending) {
        uint8_t head[ITEM_HEADS_MAX];
        int size = cbor_head_encode(head, CBOR_MAJOR_BYTE_STRING, out->insert_length);
        if (!charge(out, static_cast<int64_t>(out->insert_length) + size) ||
            !append(out, head, static_cast<uint64_t>(size)) ||
            !append(out, out->new_bytes + out->insert_start, out->insert_length)) {
            return false;
        }
        out->insert_pending = false;
    }
    if (out->copy_pending) {
        uint8_t heads[ITEM_HEADS_MAX];
        int size = cbor_head_encode(heads, CBOR_MAJOR_UINT, out->copy_offset);
        size += cbor_head_encode(heads + size, CBOR_MAJOR_UINT, out->copy_length);
        if (!charge(out, size) || !append(out, heads, static_cast<uint64_t>(size))) {
            return false;
        }
        out->copy_pending = false;
    }
    return true;
}

/* A copy right after an insertion goes in as literal bytes when the copy
 * pair would cost as much as the insertion grows by. */
bool copy_from(item_writer *out, uint64_t offset, uint64_t length) {
    if (out->copy_pending) {
        if (!flush(out)) {
            return false;
        }
    } else if (out->insert_pending) {
        uint64_t grown = out->insert_length + length;
        int64_t pair_cost = head_size(offset) + SHORT_LENGTH_HEAD;
        int64_t growth_cost =
            static_cast<int64_t>(length) + head_size(grown) - head_size(out->insert_length);
        if (pair_cost >= growth_cost) {
            out->insert_length = grown;
            return true;
        }
    }
    out->copy_pending = true;
    out->copy_offset = offset;
    out->copy_length = length;
    return true;
}

/* Literal bytes; a pending copy right before them may be taken as literal
 * bytes too, priced against a fresh insertion, or, when an insertion is
 * pending before the copy, against the head that all three in one
 * insertion save. */
bool insert(item_writer *out, uint64_t start, uint64_t length) {
    uint64_t first = start, total = length;
    if (out->copy_pending) {
        uint64_t merged = out->copy_length + length;
        int64_t pair_cost = head_size(out->copy_offset) + SHORT_LENGTH_HEAD;
        int64_t merge_cost =
            out->insert_pending
                ? static_cast<int64_t>(out->copy_length) + head_size(out->insert_length + merged) -
                      head_size(out->insert_length) - head_size(length)
                : static_cast<int64_t>(out->copy_length) + head_size(merged) - head_size(length);
        if (pair_cost >= merge_cost) {
            out->copy_pending = false;
            first = start - out->copy_length;
            total = merged;
        } else if (!flush(out)) {
            return false;
        }
    }
    if (out->insert_pending) {
        out->insert_length += total;
        return true;
    }
    out->insert_pending = true;
    out->insert_start = first;
    out->insert_length = total;
    return true;
}

/* Hands the literal bytes before the open copy, then the copy, on. */
bool close_joined(item_writer *out) {
    const copy &joined = out->joined;
    if (joined.length == 0) {
        return true;
    }
    if (joined.new_start > out->done && !insert(out, out->done, joined.new_start - out->done)) {
        return false;
    }
    if (!copy_from(out, joined.old_start, joined.length)) {
        return false;
    }
    out->done = joined.new_start + joined.length;
    out->joined = copy{0, 0, 0};
    return true;
}

/* The replacement delta, written at its exact size. */
buf *replacement(const uint8_t *new_bytes, uint64_t new_length) {
    uint8_t head[ITEM_HEADS_MAX];
    int size = cbor_head_encode(head, CBOR_MAJOR_BYTE_STRING, new_length);
    buf *result = buf_create();
    if (result == nullptr) {
        return nullptr;
    }
    uint64_t total = static_cast<uint64_t>(size) + new_length;
    auto *block = static_cast<uint8_t *>(total > SIZE_MAX ? nullptr : malloc(total));
    if (block == nullptr) {
        buf_free(result);
        return nullptr;
    }
    memcpy(block, head, static_cast<size_t>(size));
    if (new_length != 0) {
        memcpy(block + size, new_bytes, new_length);
    }
    result->data = block;
    result->len = total;
    result->capacity = total;
    return result;
}

} // namespace

bool copies_push(copy_list *list, const copy &item) {
    if (list->count == list->capacity) {
        uint64_t capacity = list->capacity == 0 ? FIRST_CAPACITY : list->capacity * 2;
        if (capacity > SIZE_MAX / sizeof(copy)) {
            return false;
        }
        void *grown = realloc(list->items, capacity * sizeof(copy));
        if (grown == nullptr) {
            return false;
        }
        list->items = static_cast<copy *>(grown);
        list->capacity = capacity;
    }
    list->items[list->count++] = item;
    return true;
}

void copies_free(copy_list *list) {
    free(list->items);
    *list = copy_list{};
}

bool items_begin(item_writer *writer, const uint8_t *old_bytes, const uint8_t *new_bytes,
                 uint64_t new_length) {
    *writer = item_writer{};
    writer->old_bytes = old_bytes;
    writer->new_bytes = new_bytes;
    writer->new_length = new_length;
    writer->budget = new_length > INT64_MAX ? INT64_MAX : static_cast<int64_t>(new_length);
    writer->fits = true;
    writer->output = buf_create();
    return writer->output != nullptr;
}

bool items_feed(item_writer *writer, const copy_list *part) {
    for (uint64_t k = 0; k < part->count && writer->fits; k++) {
        const copy &next = part->items[k];
        const copy &joined = writer->joined;
        /* A copy that goes on where the open one stops, on its diagonal,
         * is the same copy cut by a border between parts; so is one a few
         * bytes on whose gap the old value has too. */
        uint64_t new_end = joined.new_start + joined.length;
        uint64_t old_end = joined.old_start + joined.length;
        if (joined.length != 0 && next.new_start >= new_end &&
            next.new_start - new_end == next.old_start - old_end && next.old_start >= old_end &&
            next.new_start - new_end <= BRIDGE_MOST &&
            memcmp(writer->old_bytes + old_end, writer->new_bytes + new_end,
                   next.new_start - new_end) == 0) {
            writer->joined.length = next.new_start + next.length - joined.new_start;
            continue;
        }
        writer->fits = close_joined(writer);
        writer->joined = next;
    }
    return !writer->out_of_memory;
}

buf *items_finish(item_writer *writer) {
    bool fits = writer->fits && close_joined(writer);
    if (fits && writer->new_length > writer->done) {
        fits = insert(writer, writer->done, writer->new_length - writer->done);
    }
    fits = fits && flush(writer);
    buf *output = writer->output;
    writer->output = nullptr;
    if (fits && output->len < writer->new_length) {
        /* A reserved output is handed on at its size: what it did not
         * use goes back, and a caller that copies the delta and frees it
         * hands the allocator a block of that size, which it then serves
         * the next copy from, pages already faulted in, where the blocks
         * of the doubling growth, larger than any the allocator reuses,
         * left every copy to fresh pages. */
        if (writer->reserved) {
            _buf_fit(output);
        }
        return output;
    }
    buf_free(output);
    return writer->out_of_memory ? nullptr : replacement(writer->new_bytes, writer->new_length);
}

void items_abandon(item_writer *writer) {
    buf_free(writer->output);
    writer->output = nullptr;
}

} // namespace diff_index
