/*
 * storage.h - the difference engine's working storage: the forward and
 * reverse frontier values of one middle-snake search, interleaved in a
 * single int32 array indexed by diagonal.
 *
 * Forward diagonal k lives in slot 4k (k >= 0) or 4(-k) - 1 (k < 0); the
 * reverse value of reverse diagonal k' lives two slots after the forward
 * slot of k'.  Unreached forward slots hold -1 and unreached reverse slots
 * INT32_MAX, so the neighbour rule needs no edge tests.  The array only
 * grows, geometrically, and is shared by every search of one execution.
 */
#ifndef TOVAREL_STORAGE_H
#define TOVAREL_STORAGE_H

#include <stdbool.h>
#include <stdint.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

#define STORAGE_FORWARD_FILL (-1)
#define STORAGE_REVERSE_FILL INT32_MAX
/* What the getters return for a slot that does not exist. */
#define STORAGE_MISSING INT32_MIN

typedef struct storage {
    int32_t *slots;
    uint32_t slot_capacity; /* slots allocated */
    uint32_t allowance;     /* as given at creation */
    uint32_t max_steps;     /* (allowance - 3) >> 2, unsigned */
    uint32_t slots_in_use;  /* 4n + 7 after sizing for n steps */
} storage;

TOVAREL_API storage *storage_create(int32_t allowance);
TOVAREL_API void storage_free(storage *s);
TOVAREL_API bool storage_ensure(storage *s, int32_t steps);
TOVAREL_API void storage_fill(storage *s, uint32_t start);
TOVAREL_API bool storage_initialise(storage *s, int32_t steps);
TOVAREL_API bool storage_extend(storage *s, int32_t steps);

TOVAREL_API uint64_t storage_key_forward(int32_t diagonal);
TOVAREL_API uint64_t storage_key_reverse(int32_t diagonal);
TOVAREL_API int32_t storage_key_forward_get(const storage *s, int32_t diagonal);
TOVAREL_API int32_t storage_key_reverse_get(const storage *s, int32_t diagonal);
TOVAREL_API bool storage_key_forward_set(storage *s, int32_t diagonal, int32_t value);
TOVAREL_API bool storage_key_reverse_set(storage *s, int32_t diagonal, int32_t value);
TOVAREL_API int32_t storage_key_forward_get_next(const storage *s, int32_t diagonal);
TOVAREL_API int32_t storage_key_reverse_get_next(const storage *s, int32_t diagonal);

TOVAREL_END_DECLS

#endif /* TOVAREL_STORAGE_H */
