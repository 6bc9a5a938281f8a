/*
 * diff_generate.cpp - the core's entry for computing a binary delta.
 *
 * The driver runs the difference engine over the two whole values into an
 * edit script and turns the engine's verdict into one of four results: the
 * edit script's items, the replacement delta (one byte string holding the
 * new value), the no-change delta, or null.  Whatever the engine found, the
 * caller never receives a delta other than the replacement delta that is
 * not strictly shorter than the new value.
 *
 * With an activity history the effort follows the caller's load: the
 * busier the recent window, the higher the quality level and the cheaper
 * the search.
 */
#include "diff_generate.h"

#include "cbor_generator.h"
#include "edit_script.h"
#include "myers_binary_diff.h"

/* The single byte that says the new value equals the old one. */
static const uint8_t NO_CHANGE_DELTA = 0xF6;

/* Lowest utilisation, on the 256 scale, of quality levels 1 to 4: about
 * 50%, 65%, 80% and 95% of the window busy. */
static const int32_t LEVEL_THRESHOLDS[] = {128, 166, 204, 243};
static const int32_t LEVEL_COUNT = sizeof(LEVEL_THRESHOLDS) / sizeof(LEVEL_THRESHOLDS[0]);

/* Source for the byte string of an empty value whose record has no
 * storage: even zero bytes are copied from a valid pointer. */
static const uint8_t NO_BYTES[1] = {0};

/* Quality level 0 (thorough) to 4 (prefix and suffix only) for a figure. */
static int32_t quality_for_utilisation(int32_t utilisation) {
    int32_t level = 0;
    while (level < LEVEL_COUNT && utilisation >= LEVEL_THRESHOLDS[level])
        level++;
    return level;
}

/*
 * Lengths inside the delta code are 32-bit.  A larger value cannot be
 * compared, and one of 4294967296 bytes or more would even pass for a small
 * one if only its low 32 bits were looked at, so all of them are refused
 * before anything is read.
 */
bool diff_generate_comparable(const buf *value) {
    return buf_has_its_bytes(value) && value->len < DIFF_MAX_VALUE_SIZE;
}

static buf *no_change_delta(void) {
    buf *result = buf_create();
    if (result != nullptr && !_buf_append(result, &NO_CHANGE_DELTA, 1)) {
        buf_free(result);
        return nullptr;
    }
    return result;
}

/*
 * The replacement delta of `new_value`: one definite byte string holding
 * the whole value.  Null when memory runs out, never a truncated string.
 */
buf *_write_replacement_delta(const buf *new_value) {
    if (!buf_has_its_bytes(new_value))
        return nullptr;
    buf *result = buf_create();
    cbor_generator *generator = cbor_generator_create();
    const uint8_t *bytes = new_value->data != nullptr ? new_value->data : NO_BYTES;
    bool written = result != nullptr && generator != nullptr &&
                   cbor_write_byte_string(generator, bytes, new_value->len) >= 0 &&
                   _buf_append(result, generator->data, generator->len);
    cbor_generator_free(generator);
    if (!written) {
        buf_free(result);
        return nullptr;
    }
    return result;
}

/*
 * Compares the two whole values at the given level.  A history, when given,
 * has had its busy period started by the caller; it is stopped here right
 * after the comparison, so the period does not cover copying the result.
 */
static buf *generate(tovarel_activity_history *history, const buf *old_value, const buf *new_value,
                     int32_t storage_allowance, int32_t cost_limit, int32_t level) {
    edit_script *script = edit_script_create(old_value, new_value);
    int32_t code = MYERS_BAD_RANGE;
    if (script != nullptr)
        code = myers_binary_diff(old_value, 0, (int32_t)old_value->len, new_value, 0,
                                 (int32_t)new_value->len, script, storage_allowance, cost_limit,
                                 level);
    if (history != nullptr)
        tovarel_activity_history_stop(history);
    buf *result = diff_generate_outcome(new_value, script, code);
    edit_script_free(script);
    return result;
}

/*
 * Only the replacement delta may be as long as the new value or longer, so
 * any other outcome that is not shorter gives way to it; for equal values
 * of 0 or 1 byte that includes the no-change byte.
 */
buf *diff_generate_outcome(const buf *new_value, const edit_script *script, int32_t code) {
    buf *result = nullptr;
    bool replace = code == MYERS_REPLACE;
    if (code == MYERS_DELTA) {
        if (script->output->len < new_value->len)
            result = buf_dup(script->output);
        else
            replace = true;
    } else if (code == MYERS_NO_CHANGE) {
        if (sizeof(NO_CHANGE_DELTA) < new_value->len)
            result = no_change_delta();
        else
            replace = true;
    }
    if (replace)
        result = _write_replacement_delta(new_value);
    return result;
}

buf *diff_generate_binary_with_activity_history_ex(tovarel_activity_history *history,
                                                   const buf *old_value, const buf *new_value,
                                                   int32_t storage_allowance, int32_t cost_limit) {
    if (!diff_generate_comparable(old_value) || !diff_generate_comparable(new_value))
        return nullptr;
    int32_t level = 0;
    if (history != nullptr) {
        tovarel_activity_history_start(history);
        level = quality_for_utilisation(tovarel_activity_history_utilisation(history));
        history->last_delta_quality = level;
    }
    return generate(history, old_value, new_value, storage_allowance, cost_limit, level);
}

/* A level chosen by the caller instead of by a history. */
buf *diff_generate_binary_at_level(const buf *old_value, const buf *new_value,
                                   int32_t storage_allowance, int32_t cost_limit, int32_t level) {
    if (level < 0 || level > DIFF_MAX_LEVEL || !diff_generate_comparable(old_value) ||
        !diff_generate_comparable(new_value))
        return nullptr;
    return generate(nullptr, old_value, new_value, storage_allowance, cost_limit, level);
}

buf *diff_generate_binary_with_activity_history(tovarel_activity_history *history,
                                                const buf *old_value, const buf *new_value) {
    return diff_generate_binary_with_activity_history_ex(
        history, old_value, new_value, DIFF_DEFAULT_STORAGE_ALLOWANCE, DIFF_DEFAULT_COST_LIMIT);
}

buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value, int32_t storage_allowance,
                             int32_t cost_limit) {
    return diff_generate_binary_with_activity_history_ex(nullptr, old_value, new_value,
                                                         storage_allowance, cost_limit);
}

buf *diff_generate_binary(const buf *old_value, const buf *new_value) {
    return diff_generate_binary_ex(old_value, new_value, DIFF_DEFAULT_STORAGE_ALLOWANCE,
                                   DIFF_DEFAULT_COST_LIMIT);
}
