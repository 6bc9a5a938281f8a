/*
 * cbor_deterministic.cpp - the rules of deterministic CBOR over walker
 * tokens, and the walk that applies them to whole items.
 *
 * Every rule is judged on bytes the walker has accepted, so the heads read
 * here are complete and every offset lies inside the input.
 */
#include "cbor_deterministic.h"

#include <cstdlib>
#include <cstring>

#include "cbor_generator.h"
#include "cbor_parser.h"

namespace {

constexpr uint8_t ADDITIONAL_INFO_MASK = 0x1F;
constexpr uint8_t INDEFINITE_INFO = 31;
constexpr uint8_t FIRST_FLOAT_INFO = 25; /* 25, 26, 27: 2, 4, 8 bytes */
/* A bignum whose magnitude fits 8 bytes has a plain integer form. */
constexpr uint64_t LONGEST_PLAIN_MAGNITUDE = 8;
constexpr uint64_t FIRST_FRAME_CAPACITY = 16;

/* Whether the head at input[offset] is the shortest for its argument. */
bool shortest_head(const uint8_t *input, uint64_t size, uint64_t offset) {
    uint64_t argument = 0;
    const unsigned head = cbor_head_decode(input + offset, input + size, &argument);
    return head == static_cast<unsigned>(cbor_head_size(argument));
}

int broken(int rule, uint64_t at, uint64_t *offset) {
    *offset = at;
    return rule;
}

/* An open array, map or tag of the item being checked. */
struct Frame {
    uint64_t start;                /* where its head begins */
    uint64_t key_start;            /* a map's key awaiting its value */
    cbor_deterministic_entry last; /* a map's or set's last entry */
    uint64_t tag;
    int kind;
    bool is_set; /* an array that is a set tag's content */
    bool awaiting_value;
};

/* The frames of cbor_deterministic_check; malloc'd, as the core's memory
 * always is.  The walker bounds the depth, so the stack never outgrows
 * the nesting that the input really has. */
class Frames {
public:
    Frames() = default;
    Frames(const Frames &) = delete;
    Frames &operator=(const Frames &) = delete;
    ~Frames() { free(frames); }

    bool empty() const { return depth == 0; }
    Frame &top() { return frames[depth - 1]; }
    Frame pop() { return frames[--depth]; }

    bool push(const Frame &frame) {
        if (depth == capacity) {
            const uint64_t grown = capacity == 0 ? FIRST_FRAME_CAPACITY : capacity * 2;
            auto *moved = static_cast<Frame *>(realloc(frames, grown * sizeof(Frame)));
            if (moved == nullptr) {
                return false;
            }
            frames = moved;
            capacity = grown;
        }
        frames[depth++] = frame;
        return true;
    }

private:
    Frame *frames = nullptr;
    uint64_t depth = 0;
    uint64_t capacity = 0;
};

/* The walk of cbor_deterministic_check, over one walker. */
struct Check {
    cbor_walker *walker;
    const uint8_t *input;
    uint64_t size;
    int order;
    Frames frames;

    /* The walker's failure as this family's answer. */
    int refused(uint64_t *offset) const {
        *offset = walker->error_offset;
        return walker->status == CBOR_WALKER_NO_MEMORY ? CBOR_DETERMINISTIC_NO_MEMORY
                                                       : CBOR_DETERMINISTIC_MALFORMED;
    }

    /* The item input[start, end) is finished: it takes its place in the
     * innermost frame, where a map's key is judged once its value has been
     * read (as a decoder adds the entry then) and a set's element at once. */
    int finished(uint64_t start, uint64_t end, uint64_t *offset) {
        if (frames.empty()) {
            return CBOR_DETERMINISTIC_OK;
        }
        Frame &parent = frames.top();
        if (parent.kind == CBOR_WALKER_MAP) {
            if (!parent.awaiting_value) {
                parent.key_start = start;
                parent.awaiting_value = true;
                return CBOR_DETERMINISTIC_OK;
            }
            parent.awaiting_value = false;
            const int rule =
                cbor_deterministic_follows(order, input, &parent.last, parent.key_start, start, 0);
            return broken(rule, parent.key_start, offset);
        }
        if (parent.is_set) {
            return broken(cbor_deterministic_follows(order, input, &parent.last, start, end, 1),
                          start, offset);
        }
        return CBOR_DETERMINISTIC_OK;
    }

    /* The next whole item. */
    int item(uint64_t *offset) {
        cbor_walker_token token;
        for (;;) {
            if (cbor_walker_next(walker, &token) != CBOR_WALKER_OK) {
                return refused(offset);
            }
            int rule = cbor_deterministic_token(input, size, &token, offset);
            if (rule != CBOR_DETERMINISTIC_OK) {
                return rule;
            }
            uint64_t start = token.offset;
            if (token.kind == CBOR_WALKER_ARRAY || token.kind == CBOR_WALKER_MAP ||
                token.kind == CBOR_WALKER_TAG) {
                const bool is_set = token.kind == CBOR_WALKER_ARRAY && !frames.empty() &&
                                    frames.top().kind == CBOR_WALKER_TAG &&
                                    frames.top().tag == CBOR_DETERMINISTIC_SET_TAG;
                const Frame frame{token.offset, 0,      {0, 0}, token.argument,
                                  token.kind,   is_set, false};
                if (!frames.push(frame)) {
                    return CBOR_DETERMINISTIC_NO_MEMORY;
                }
                continue;
            }
            if (token.kind == CBOR_WALKER_END) {
                start = frames.pop().start;
            }
            rule = finished(start, cbor_walker_offset(walker), offset);
            if (rule != CBOR_DETERMINISTIC_OK || frames.empty()) {
                return rule;
            }
        }
    }
};

} // namespace

TOVAREL_BEGIN_DECLS

int cbor_deterministic_compare(int order, const uint8_t *a, uint64_t a_size, const uint8_t *b,
                               uint64_t b_size) {
    if (order == CBOR_DETERMINISTIC_LENGTH_FIRST && a_size != b_size) {
        return a_size < b_size ? -1 : 1;
    }
    const uint64_t common = a_size < b_size ? a_size : b_size;
    const int compared = common == 0 ? 0 : memcmp(a, b, common);
    if (compared != 0) {
        return compared < 0 ? -1 : 1;
    }
    return a_size < b_size ? -1 : a_size > b_size ? 1 : 0;
}

/* The forms a deterministic encoder never writes (preferred serialization):
 * a head longer than its argument needs, an indefinite length, a float in
 * another width than the encoder's choice for its value, a bignum with
 * leading zero bytes or with a plain integer form.  Simple values need no
 * check: the walker refuses two-byte forms of one-byte values. */
int cbor_deterministic_token(const uint8_t *input, uint64_t size, const cbor_walker_token *token,
                             uint64_t *offset) {
    /* An END has no byte of its own when it closes a definite container,
     * and may stand at the end of the input: it is never read. */
    if (token->kind == CBOR_WALKER_END || token->kind == CBOR_WALKER_SIMPLE) {
        return CBOR_DETERMINISTIC_OK;
    }
    const uint64_t at = token->offset;
    const unsigned info = input[at] & ADDITIONAL_INFO_MASK;
    switch (token->kind) {
    case CBOR_WALKER_FLOAT:
        /* Every NaN has the half-width form (its payload is not compared). */
        if (static_cast<int>(1u << (info - FIRST_FLOAT_INFO + 1)) !=
            cbor_float_width(token->real)) {
            return broken(CBOR_DETERMINISTIC_FLOAT_WIDTH, at, offset);
        }
        return CBOR_DETERMINISTIC_OK;
    case CBOR_WALKER_BIGNUM: {
        if (!shortest_head(input, size, at)) {
            return broken(CBOR_DETERMINISTIC_LONG_HEAD, at, offset);
        }
        /* The tag's head is one byte, so its byte string begins next. */
        const uint64_t string = at + 1;
        if ((input[string] & ADDITIONAL_INFO_MASK) == INDEFINITE_INFO) {
            return broken(CBOR_DETERMINISTIC_INDEFINITE, string, offset);
        }
        if (!shortest_head(input, size, string)) {
            return broken(CBOR_DETERMINISTIC_LONG_HEAD, string, offset);
        }
        if (token->length <= LONGEST_PLAIN_MAGNITUDE || token->bytes[0] == 0) {
            return broken(CBOR_DETERMINISTIC_BIGNUM_FORM, at, offset);
        }
        return CBOR_DETERMINISTIC_OK;
    }
    default:
        if (info == INDEFINITE_INFO) {
            return broken(CBOR_DETERMINISTIC_INDEFINITE, at, offset);
        }
        if (!shortest_head(input, size, at)) {
            return broken(CBOR_DETERMINISTIC_LONG_HEAD, at, offset);
        }
        return CBOR_DETERMINISTIC_OK;
    }
}

/* Entries must come in strictly increasing order: an equal encoding is the
 * same key (or element) twice. */
int cbor_deterministic_follows(int order, const uint8_t *input, cbor_deterministic_entry *last,
                               uint64_t start, uint64_t end, int in_set) {
    if (last->start != last->end) {
        const int compared = cbor_deterministic_compare(
            order, input + last->start, last->end - last->start, input + start, end - start);
        if (compared == 0) {
            return in_set ? CBOR_DETERMINISTIC_DUPLICATE_ELEMENT : CBOR_DETERMINISTIC_DUPLICATE_KEY;
        }
        if (compared > 0) {
            return in_set ? CBOR_DETERMINISTIC_SET_ORDER : CBOR_DETERMINISTIC_KEY_ORDER;
        }
    }
    last->start = start;
    last->end = end;
    return CBOR_DETERMINISTIC_OK;
}

int cbor_deterministic_check(const void *input, uint64_t size, int order, uint64_t max_depth,
                             int sequence, uint64_t *offset) {
    cbor_walker *walker = cbor_walker_create(input, size, max_depth);
    if (walker == nullptr) {
        *offset = 0;
        return CBOR_DETERMINISTIC_NO_MEMORY;
    }
    int rule = CBOR_DETERMINISTIC_OK;
    {
        Check check{walker, static_cast<const uint8_t *>(input), size, order, {}};
        if (sequence) {
            while (rule == CBOR_DETERMINISTIC_OK && cbor_walker_offset(walker) < size) {
                rule = check.item(offset);
            }
        } else {
            rule = check.item(offset);
            if (rule == CBOR_DETERMINISTIC_OK && cbor_walker_finish(walker) != CBOR_WALKER_OK) {
                rule = check.refused(offset);
            }
        }
    }
    cbor_walker_free(walker);
    return rule;
}

TOVAREL_END_DECLS
