/*
 * coallescing_script.cpp - merges the difference engine's events into runs.
 *
 * The engine reports matches, insertions and deletions in the order of the
 * new value, often in many small pieces.  Consecutive events of one kind
 * are contiguous, so they merge into one open run; a run is handed to the
 * edit script only when an event of another kind ends it.  Deletions never
 * reach the edit script (a delta holds only copies and insertions); they
 * matter only because they end a match run, so that the next match starts
 * a new copy pair.
 *
 * `single_run` watches for the two outcomes that need no delta items: the
 * new value sharing nothing with the old one, and the two being equal.
 *
 * This file defines the four reporting functions and nothing else that
 * other code links against: tests of the engine supply their own recording
 * versions of exactly these four.
 */
#include "coallescing_script.h"

/*
 * Run positions are relative to the compared ranges.  A position before its
 * range or a run longer than 32 bits cannot come from a comparison of
 * supported values; it is refused so the comparison ends in the
 * replacement delta instead of in wrapped arithmetic.
 */
static bool relative_position(int32_t position, int32_t base, int32_t *out) {
    int64_t relative = (int64_t)position - base;
    if (relative < 0 || relative > INT32_MAX)
        return false;
    *out = (int32_t)relative;
    return true;
}

static bool extend_run(coallescing_script *cs, int32_t length) {
    int64_t total = (int64_t)cs->run_length + length;
    if (total > INT32_MAX)
        return false;
    cs->run_length = (int32_t)total;
    return true;
}

/* Hands the open run, whatever its kind, to the edit script. */
static bool hand_over(coallescing_script *cs) {
    switch (cs->run_kind) {
    case COALLESCING_RUN_MATCH:
        return edit_script_match(cs->script, cs->run_start, cs->run_length);
    case COALLESCING_RUN_INSERT:
        return edit_script_insert(cs->script, cs->run_start, cs->run_length);
    default:
        return true;
    }
}

/*
 * Ends the open run because an event of another kind begins a new one.
 * Leaving a delete run keeps `single_run`: deletions before the one run
 * still count as a single run.
 */
static bool end_run_for(coallescing_script *cs) {
    if (cs->run_kind == COALLESCING_RUN_DELETE)
        return true;
    cs->single_run = false;
    return hand_over(cs);
}

bool coallescing_script_match(coallescing_script *cs, int32_t position, int32_t length) {
    if (length <= 0)
        return true;
    if (cs->run_kind == COALLESCING_RUN_MATCH)
        return extend_run(cs, length);
    if (!end_run_for(cs))
        return false;
    if (!relative_position(position, cs->old_base, &cs->run_start))
        return false;
    cs->run_length = length;
    cs->run_kind = COALLESCING_RUN_MATCH;
    return true;
}

bool coallescing_script_insert(coallescing_script *cs, int32_t position, int32_t length) {
    if (length <= 0)
        return true;
    if (cs->run_kind == COALLESCING_RUN_INSERT)
        return extend_run(cs, length);
    if (!end_run_for(cs))
        return false;
    if (!relative_position(position, cs->new_base, &cs->run_start))
        return false;
    cs->run_length = length;
    cs->run_kind = COALLESCING_RUN_INSERT;
    return true;
}

/*
 * A deletion inside an insert run is ignored, so an insertion after it
 * extends the same run; it only ends a match run.
 */
bool coallescing_script_delete(coallescing_script *cs) {
    if (cs->run_kind != COALLESCING_RUN_MATCH)
        return true;
    cs->single_run = false;
    cs->run_kind = COALLESCING_RUN_DELETE;
    return edit_script_match(cs->script, cs->run_start, cs->run_length);
}

/*
 * Decides the outcome of the comparison of an old range of `old_length`
 * bytes.  A lone insert run reuses nothing of the old value; a lone match
 * run from the range's start over its whole length means no change.
 * Otherwise the last run goes to the edit script and the script is closed.
 */
int32_t coallescing_script_close(coallescing_script *cs, int32_t old_length, int32_t new_length) {
    (void)new_length;
    if (cs->single_run && cs->run_kind == COALLESCING_RUN_INSERT)
        return COALLESCING_REPLACE;
    if (cs->single_run && cs->run_start == 0 && cs->run_length == old_length)
        return COALLESCING_NO_CHANGE;
    if (!hand_over(cs))
        return COALLESCING_REPLACE;
    return edit_script_close(cs->script) ? COALLESCING_DELTA : COALLESCING_REPLACE;
}
