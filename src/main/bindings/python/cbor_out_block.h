/*
 * cbor_out_block.h - the encoders' reusable output block, one per thread.
 *
 * An encoding is written into a block that grows as it goes and is then
 * copied into a bytes object of exactly its size.  A block taken afresh
 * every call grows by doubling (each step may copy all written so far)
 * and its pages are new to the process, so a document of a megabyte
 * spends much of its time copying and taking page faults.  A block kept
 * from call to call has its room and its pages already: the walk writes
 * into warm memory and the one copy into the result is all that is left.
 */
#ifndef TOVAREL_BINDINGS_PYTHON_CBOR_OUT_BLOCK_H
#define TOVAREL_BINDINGS_PYTHON_CBOR_OUT_BLOCK_H

#include <cstddef>
#include <cstdint>

namespace tovarel::cbor {

/* The largest block a thread keeps between calls: a larger one is freed
 * when given back, so one huge value does not pin its memory. */
constexpr std::size_t KEPT_BLOCK_LIMIT = std::size_t{4} << 20;

/*
 * The calling thread's block, held until released.  Taking it fails (held
 * is false) while another encoding on the same thread holds it: a default
 * hook, a finalizer or a garbage collection run inside an encoding may
 * encode again, and that one must not write over the outer's bytes.
 */
class OutBlock {
public:
    /* Takes the block with room for at least room bytes; not held when in
     * use or when the memory is not there. */
    explicit OutBlock(std::size_t room);
    ~OutBlock() { release(); }
    OutBlock(const OutBlock &) = delete;
    OutBlock &operator=(const OutBlock &) = delete;

    bool held() const { return slot != nullptr; }
    uint8_t *data() const;
    std::size_t capacity() const;

    /* Room for at least wanted bytes, keeping the content; false, leaving
     * the block as it was, when the memory is not there. */
    bool grow(std::size_t wanted);

    /* Gives the block back to the thread (freeing it above the limit). */
    void release();

    struct Slot;

private:
    Slot *slot = nullptr;
};

} // namespace tovarel::cbor

#endif /* TOVAREL_BINDINGS_PYTHON_CBOR_OUT_BLOCK_H */
