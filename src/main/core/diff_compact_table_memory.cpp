/*
 * diff_compact_table_memory.cpp - aligned table memory, zeroed or not, on large
 * pages where the system has them, kept by each thread for its next call (see
 * diff_compact_table_memory.h).
 */
#include "diff_compact_table_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "large_pages.hpp"

namespace {

/* What a thread keeps between calls, over all kinds: the tables of a new
 * value up to about 2 MiB searched whole (a part's heads and chain, 8 MiB
 * each, and the old value's table of 4 MiB on the calling thread; with
 * 16 MiB the chain of a 2 MB module was faulted in at every other call),
 * while a larger value's, whose search takes far longer than faulting its
 * tables in, are handed back to the system. */
constexpr size_t KEEP_AT_MOST = size_t{24} << 20;

/* The bytes a table of `bytes` takes: whole large pages from one on. */
size_t capacity_for(size_t bytes) {
    if (bytes < LARGE_PAGE) {
        return bytes == 0 ? 1 : bytes;
    }
    return large_pages_round(bytes);
}

/* Fresh aligned table memory, cleared or not. */
void *table_alloc(size_t bytes, bool clear) {
    if (bytes < LARGE_PAGE) {
        // Small enough to stay in the caches, where a bucket across two
        // lines costs little; calloc spares clearing the fresh pages.
        return clear ? calloc(capacity_for(bytes), 1) : malloc(capacity_for(bytes));
    }
    size_t rounded = capacity_for(bytes);
    if (rounded == 0) {
        return nullptr;
    }
    void *block = large_pages_alloc(rounded);
    if (block == nullptr) {
        return nullptr;
    }
    if (clear) {
        memset(block, 0, rounded);
    }
    return block;
}

/* A kept table: its memory, what it holds, and whether a search has it. */
struct kept_table {
    void *block = nullptr;
    size_t capacity = 0;
    bool lent = false;
};

/* One table of each kind per thread, freed when the thread ends (the work
 * pool's never do, and keep theirs for the process). */
struct kept_tables {
    kept_table kind[DIFF_COMPACT_TABLE_KINDS];

    kept_tables() = default;
    kept_tables(const kept_tables &) = delete;
    kept_tables &operator=(const kept_tables &) = delete;
    ~kept_tables() {
        for (kept_table &table : kind) {
            free(table.block);
        }
    }

    /* The bytes kept, lent or idle, by the kinds other than `except`. */
    size_t kept_besides(int except) const {
        size_t held = 0;
        for (int k = 0; k < DIFF_COMPACT_TABLE_KINDS; k++) {
            if (k != except) {
                held += kind[k].capacity;
            }
        }
        return held;
    }
};

thread_local kept_tables kept;

/* The kept table of `kind` if it is idle and holds `bytes` (cleared as
 * far as they go if asked), else a fresh one: a kept table too small is
 * freed first, so that the thread never holds two of a kind. */
void *table_take(diff_compact_table_kind kind, size_t bytes, bool clear) {
    kept_table &table = kept.kind[kind];
    if (table.block != nullptr && !table.lent) {
        if (table.capacity >= bytes) {
            table.lent = true;
            if (clear) {
                memset(table.block, 0, bytes);
            }
            return table.block;
        }
        free(table.block);
        table = kept_table{};
    }
    return table_alloc(bytes, clear);
}

} // namespace

void *diff_compact_table_take(diff_compact_table_kind kind, size_t bytes) {
    return table_take(kind, bytes, true);
}

void *diff_compact_table_take_uncleared(diff_compact_table_kind kind, size_t bytes) {
    return table_take(kind, bytes, false);
}

void diff_compact_table_give(diff_compact_table_kind kind, void *block, size_t bytes) {
    if (block == nullptr) {
        return;
    }
    kept_table &table = kept.kind[kind];
    if (table.lent && table.block == block) {
        table.lent = false;
        return;
    }
    // A fresh table: kept in place of an idle one of its kind if the
    // thread's tables stay within the bound, else freed.  While the kept
    // one is lent (a search inside a search) the fresh one is freed.
    size_t capacity = capacity_for(bytes);
    if (table.lent || kept.kept_besides(kind) + capacity > KEEP_AT_MOST) {
        free(block);
        return;
    }
    free(table.block);
    table = {block, capacity, false};
}
