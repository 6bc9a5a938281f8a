/*
 * cbor_out_block.cpp - the per-thread output block (see cbor_out_block.h).
 *
 * One block per thread rather than per Encoder: an Encoder may be shared
 * by threads, and dumps has no object to keep one in.  The interpreter
 * lock is held while a block is in use, but only a thread's own block is
 * ever touched, so the block needs no lock of its own.
 */
#include "cbor_out_block.h"

#include <cstdlib>

namespace tovarel::cbor {

/* The first block a thread allocates: most encodings fit and never grow it. */
constexpr std::size_t FIRST_BLOCK_SIZE = std::size_t{64} << 10;

struct OutBlock::Slot {
    uint8_t *data = nullptr;
    std::size_t capacity = 0;
    bool busy = false;

    Slot() = default;
    ~Slot() { free(data); }
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;
};

namespace {
thread_local OutBlock::Slot thread_slot;
} // namespace

/* Takes the thread's block, allocating or enlarging it as needed; a failed
 * allocation leaves the slot as it was and the block not held. */
OutBlock::OutBlock(std::size_t room) {
    Slot &own = thread_slot;
    if (own.busy) {
        return;
    }
    slot = &own;
    own.busy = true;
    if (own.capacity < room || own.data == nullptr) {
        if (!grow(room < FIRST_BLOCK_SIZE ? FIRST_BLOCK_SIZE : room)) {
            release();
        }
    }
}

uint8_t *OutBlock::data() const {
    return slot->data;
}

std::size_t OutBlock::capacity() const {
    return slot->capacity;
}

bool OutBlock::grow(std::size_t wanted) {
    if (wanted <= slot->capacity && slot->data != nullptr) {
        return true;
    }
    void *grown = realloc(slot->data, wanted);
    if (grown == nullptr) {
        return false;
    }
    slot->data = static_cast<uint8_t *>(grown);
    slot->capacity = wanted;
    return true;
}

void OutBlock::release() {
    if (slot == nullptr) {
        return;
    }
    if (slot->capacity > KEPT_BLOCK_LIMIT) {
        free(slot->data);
        slot->data = nullptr;
        slot->capacity = 0;
    }
    slot->busy = false;
    slot = nullptr;
}

} // namespace tovarel::cbor
