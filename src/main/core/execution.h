/*
 * execution.h - one comparison of the difference engine: the middle-snake
 * search, the splits it leads to, and the bail-out that ends searches whose
 * step budget is spent.
 *
 * Every position passed between these functions and to the coalescing
 * script is absolute (an index into the whole old or new value).  Solving
 * functions return false as soon as a reporting call or a nested search
 * does: the delta would not beat the replacement delta, or the storage
 * allowance is exceeded.
 */
#ifndef TOVAREL_EXECUTION_H
#define TOVAREL_EXECUTION_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "coallescing_script.h"
#include "export.h"
#include "storage.h"

TOVAREL_BEGIN_DECLS

typedef struct execution {
    const buf *old_value;
    const buf *new_value;
    coallescing_script *coalescing; /* receives all events */
    int32_t cost_limit;             /* step budget of every fresh search */
    struct storage *storage;        /* owned */
} execution;

TOVAREL_API execution *execution_create(const buf *old_value, const buf *new_value,
                                        coallescing_script *coalescing, int32_t storage_allowance,
                                        int32_t cost_limit);
TOVAREL_API void execution_free(execution *e);

TOVAREL_API bool execution_trim_prefix_and_suffix(execution *e, int32_t old_offset,
                                                  int32_t old_length, int32_t new_offset,
                                                  int32_t new_length);
TOVAREL_API bool execution_diff(execution *e, int32_t old_offset, int32_t old_length,
                                int32_t new_offset, int32_t new_length, int32_t step_budget);
TOVAREL_API bool execution_middlesnake(execution *e, int32_t old_offset, int32_t old_length,
                                       int32_t new_offset, int32_t new_length, int32_t step_budget);
TOVAREL_API bool execution_recurse(execution *e, int32_t old_offset, int32_t old_length,
                                   int32_t new_offset, int32_t new_length, int32_t snake_start,
                                   int32_t snake_end, int32_t diagonal);
TOVAREL_API bool execution_bail(execution *e, int32_t old_offset, int32_t old_length,
                                int32_t new_offset, int32_t new_length, int32_t forward_corner,
                                int32_t reverse_corner, int32_t step_budget);
TOVAREL_API bool execution_bounded_diff(execution *e, int32_t old_offset, int32_t old_length,
                                        int32_t new_offset, int32_t new_length,
                                        int32_t reference_length, int32_t reference_new_length,
                                        int32_t step_budget);

TOVAREL_END_DECLS

#endif /* TOVAREL_EXECUTION_H */
