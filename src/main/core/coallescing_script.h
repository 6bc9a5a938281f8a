/*
 * coallescing_script.h - merges the difference engine's events (matches,
 * insertions, deletions, in the order of the new value) into runs and hands
 * finished runs to the edit script.  It also spots the two outcomes that
 * need no edit script: nothing of the old value reused, and no change.
 *
 * The record has no constructor; the engine's entry point sets one up per
 * comparison in its own scope.
 */
#ifndef TOVAREL_COALLESCING_SCRIPT_H
#define TOVAREL_COALLESCING_SCRIPT_H

#include <stdbool.h>
#include <stdint.h>

#include "edit_script.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* Kinds of the open run. */
#define COALLESCING_RUN_INSERT 0
#define COALLESCING_RUN_MATCH 1
#define COALLESCING_RUN_DELETE 2

/* Results of coallescing_script_close. */
#define COALLESCING_DELTA 0     /* the edit script holds the delta */
#define COALLESCING_REPLACE 1   /* use the replacement delta */
#define COALLESCING_NO_CHANGE 2 /* the values are equal */

typedef struct coallescing_script {
    edit_script *script; /* receives the finished runs */
    int32_t old_base;    /* subtracted from old positions */
    int32_t new_base;    /* subtracted from new positions */
    int32_t run_kind;    /* COALLESCING_RUN_*; starts as a delete run */
    int32_t run_start;
    int32_t run_length;
    bool single_run; /* deletions and at most one run so far */
} coallescing_script;

TOVAREL_API bool coallescing_script_match(coallescing_script *cs, int32_t position, int32_t length);
TOVAREL_API bool coallescing_script_insert(coallescing_script *cs, int32_t position,
                                           int32_t length);
TOVAREL_API bool coallescing_script_delete(coallescing_script *cs);
TOVAREL_API int32_t coallescing_script_close(coallescing_script *cs, int32_t old_length,
                                             int32_t new_length);

TOVAREL_END_DECLS

#endif /* TOVAREL_COALLESCING_SCRIPT_H */
