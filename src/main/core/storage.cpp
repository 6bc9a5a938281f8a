/*
 * storage.cpp - working storage of the difference engine.
 *
 * One int32 array holds the forward and the reverse frontier of a search,
 * interleaved by diagonal so that both directions and both signs of the
 * diagonal grow at the same end of the array.  A search sized for n steps
 * reads diagonals -(n+1) to n+1 of both directions, that is slots 0 to
 * 4n + 6; the array is kept filled four slots further (through 4n + 10),
 * which is exactly what the next step's extension would otherwise have to
 * fill first.
 */
#include "storage.h"

#include <cstdlib>
#include <cstring>

TOVAREL_BEGIN_DECLS

/* Slots used and kept filled for n steps: 4n + 7 in use, 4n + 11 filled. */
static const uint64_t STORAGE_SLOTS_PER_STEP = 4;
static const uint64_t STORAGE_IN_USE_EXTRA = 7;
static const uint64_t STORAGE_FILLED_EXTRA = 11;
/* A grown array has room for twice the steps, 8n + 14 slots. */
static const uint64_t STORAGE_GROWN_PER_STEP = 8;
static const uint64_t STORAGE_GROWN_EXTRA = 14;
/* A fresh search fills from forward -1 up: slots 0 and 2 are its seeds
 * (forward 0 and reverse 0) and slot 1 is never used. */
static const uint32_t STORAGE_FIRST_FILLED = 3;
/* One group of the fill: forward -k, forward k, reverse -k, reverse k. */
static const uint32_t STORAGE_PATTERN_LENGTH = 4;

storage *storage_create(int32_t allowance) {
    storage *s = static_cast<storage *>(calloc(1, sizeof(storage)));
    if (s == nullptr) {
        return nullptr;
    }
    s->allowance = static_cast<uint32_t>(allowance);
    /* Unsigned on purpose: an allowance below 3 wraps to a huge limit. */
    s->max_steps = (s->allowance - 3u) >> 2;
    if (!storage_initialise(s, 1)) {
        storage_free(s);
        return nullptr;
    }
    return s;
}

void storage_free(storage *s) {
    if (s == nullptr) {
        return;
    }
    free(s->slots);
    free(s);
}

/*
 * Sizes the storage for `steps` steps.  The array grows geometrically so
 * that a search widening one step at a time reallocates only a logarithmic
 * number of times.  A size that does not fit the 32-bit slot count, or an
 * allocation that fails, leaves the storage exactly as it was.
 */
bool storage_ensure(storage *s, int32_t steps) {
    if (s == nullptr || steps < 0) {
        return false;
    }
    uint64_t n = static_cast<uint64_t>(steps);
    uint64_t in_use = STORAGE_SLOTS_PER_STEP * n + STORAGE_IN_USE_EXTRA;
    if (s->slot_capacity >= STORAGE_SLOTS_PER_STEP * n + STORAGE_FILLED_EXTRA) {
        s->slots_in_use = static_cast<uint32_t>(in_use);
        return true;
    }
    uint64_t capacity = STORAGE_GROWN_PER_STEP * n + STORAGE_GROWN_EXTRA;
    if (capacity > UINT32_MAX) {
        return false;
    }
    int32_t *slots = static_cast<int32_t *>(calloc(capacity, sizeof(int32_t)));
    if (slots == nullptr) {
        return false;
    }
    if (s->slot_capacity > 0) {
        memcpy(slots, s->slots, s->slot_capacity * sizeof(int32_t));
    }
    free(s->slots);
    s->slots = slots;
    s->slot_capacity = static_cast<uint32_t>(capacity);
    s->slots_in_use = static_cast<uint32_t>(in_use);
    return true;
}

/*
 * Writes the unreached values from `start` on: -1 on the forward slots and
 * INT32_MAX on the reverse slots when `start` is 3 modulo 4, four slots at
 * a time, up to the group that begins below slots_in_use + 4.  Slots beyond
 * the array are never written.
 */
void storage_fill(storage *s, uint32_t start) {
    static const int32_t pattern[STORAGE_PATTERN_LENGTH] = {
        STORAGE_FORWARD_FILL, STORAGE_FORWARD_FILL, STORAGE_REVERSE_FILL, STORAGE_REVERSE_FILL};
    if (s == nullptr) {
        return;
    }
    uint64_t end = static_cast<uint64_t>(s->slots_in_use) + STORAGE_PATTERN_LENGTH;
    for (uint64_t group = start; group < end; group += STORAGE_PATTERN_LENGTH) {
        for (uint32_t i = 0; i < STORAGE_PATTERN_LENGTH; i++) {
            if (group + i < s->slot_capacity) {
                s->slots[group + i] = pattern[i];
            }
        }
    }
}

/* Prepares the storage for a fresh search of `steps` steps. */
bool storage_initialise(storage *s, int32_t steps) {
    if (steps <= 0 || !storage_ensure(s, steps)) {
        return false;
    }
    storage_fill(s, STORAGE_FIRST_FILLED);
    return true;
}

/*
 * Widens the storage of a running search to `steps` steps, filling only the
 * newly covered slots.  The allowance caps the steps; the comparison is
 * unsigned, so a negative request is refused as well.
 */
bool storage_extend(storage *s, int32_t steps) {
    if (s == nullptr || static_cast<uint32_t>(steps) > s->max_steps) {
        return false;
    }
    uint32_t previous = s->slots_in_use;
    if (!storage_ensure(s, steps)) {
        return false;
    }
    storage_fill(s, previous);
    return true;
}

uint64_t storage_key_forward(int32_t diagonal) {
    int64_t k = diagonal;
    return k >= 0 ? static_cast<uint64_t>(4 * k) : static_cast<uint64_t>(-4 * k - 1);
}

uint64_t storage_key_reverse(int32_t diagonal) {
    return storage_key_forward(diagonal) + 2;
}

static int32_t storage_get(const storage *s, uint64_t slot) {
    if (s == nullptr || slot >= s->slot_capacity) {
        return STORAGE_MISSING;
    }
    return s->slots[slot];
}

static bool storage_set(storage *s, uint64_t slot, int32_t value) {
    if (s == nullptr || slot >= s->slot_capacity) {
        return false;
    }
    s->slots[slot] = value;
    return true;
}

int32_t storage_key_forward_get(const storage *s, int32_t diagonal) {
    return storage_get(s, storage_key_forward(diagonal));
}

int32_t storage_key_reverse_get(const storage *s, int32_t diagonal) {
    return storage_get(s, storage_key_reverse(diagonal));
}

bool storage_key_forward_set(storage *s, int32_t diagonal, int32_t value) {
    return storage_set(s, storage_key_forward(diagonal), value);
}

bool storage_key_reverse_set(storage *s, int32_t diagonal, int32_t value) {
    return storage_set(s, storage_key_reverse(diagonal), value);
}

/*
 * The neighbours of a diagonal at the edge of the int32 range do not exist;
 * they read as missing rather than wrapping around to the other edge.
 */
static uint64_t storage_neighbour_key(int32_t diagonal, int delta, bool reverse) {
    int64_t k = static_cast<int64_t>(diagonal) + delta;
    if (k > INT32_MAX || k < INT32_MIN) {
        return UINT64_MAX;
    }
    uint64_t key = storage_key_forward(static_cast<int32_t>(k));
    return reverse ? key + 2 : key;
}

/*
 * The furthest x a forward path reaches on diagonal k with one more edit:
 * a deletion from diagonal k+1 (x + 1) or an insertion from k-1 (same x).
 * The sums wrap rather than overflow for values nobody stores in practice.
 */
int32_t storage_key_forward_get_next(const storage *s, int32_t diagonal) {
    int32_t above = storage_get(s, storage_neighbour_key(diagonal, 1, false));
    int32_t below = storage_get(s, storage_neighbour_key(diagonal, -1, false));
    if (above >= below) {
        return static_cast<int32_t>(static_cast<uint32_t>(above) + 1u);
    }
    return below;
}

/*
 * The smallest x a reverse path reaches on reverse diagonal k' with one more
 * edit: an insertion from k'+1 (same x) or a deletion from k'-1 (x - 1).
 */
int32_t storage_key_reverse_get_next(const storage *s, int32_t diagonal) {
    int32_t above = storage_get(s, storage_neighbour_key(diagonal, 1, true));
    int32_t below = storage_get(s, storage_neighbour_key(diagonal, -1, true));
    if (above < below) {
        return above;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(below) - 1u);
}

TOVAREL_END_DECLS
