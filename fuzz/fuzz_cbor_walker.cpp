/*
 * fuzz_cbor_walker.cpp - walks arbitrary bytes as a CBOR sequence and checks
 * the walker against a small recursive reader written from the item rules:
 *
 *   - both accept the same inputs, and refuse the others with the same
 *     status at the same byte offset;
 *   - an accepted input, rebuilt as a tree from the tokens and written again
 *     with the core's writers (shortest heads, definite lengths), walks to
 *     the same tree: decoding round-trips;
 *   - the walker's own memory (the buffer that joins chunks) never exceeds
 *     the input, and nothing is read outside it (the input sits in an exactly
 *     sized heap block);
 *   - the text of every tag 0 (date-time) and tag 1004 (full-date) is
 *     accepted by the core's RFC 3339 reader exactly when a reference
 *     written from the grammar accepts it, with the same fields, and what
 *     the core writes from those fields reads back to them.
 *
 * The first input byte is the depth limit; the rest is the sequence.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cbor_generator.h"
#include "cbor_time.h"
#include "cbor_walker.h"
#include "reference_cbor.h"

namespace {

struct Node {
    int kind = 0;
    uint64_t argument = 0;
    std::string bytes;
    double real = 0;
    std::vector<Node> children;
};

bool same_tree(const Node &a, const Node &b) {
    if (a.kind != b.kind || a.argument != b.argument || a.bytes != b.bytes ||
        a.children.size() != b.children.size()) {
        return false;
    }
    if (a.kind == CBOR_WALKER_FLOAT &&
        !(std::isnan(a.real) ? std::isnan(b.real) : memcmp(&a.real, &b.real, sizeof a.real) == 0)) {
        return false;
    }
    for (size_t i = 0; i < a.children.size(); i++) {
        if (!same_tree(a.children[i], b.children[i])) {
            return false;
        }
    }
    return true;
}

struct Outcome {
    int status = CBOR_WALKER_OK;
    uint64_t offset = 0;
    std::vector<Node> items;
};

/* The walker's view: one tree per top-level item, built without recursion. */
Outcome walk(const uint8_t *data, size_t size, uint64_t max_depth) {
    Outcome outcome;
    cbor_walker *walker = cbor_walker_create(data, size, max_depth);
    REFERENCE_CHECK(walker != nullptr, 0);
    while (cbor_walker_offset(walker) < size) {
        std::vector<Node> open; /* containers being filled, innermost last */
        for (;;) {
            cbor_walker_token token;
            int status = cbor_walker_next(walker, &token);
            if (status != CBOR_WALKER_OK) {
                outcome.status = status;
                outcome.offset = walker->error_offset;
                REFERENCE_CHECK(cbor_walker_next(walker, &token) == status, 0);
                cbor_walker_free(walker);
                return outcome;
            }
            REFERENCE_CHECK(walker->joined_capacity <= size, token.offset);
            Node node;
            if (token.kind == CBOR_WALKER_END) {
                REFERENCE_CHECK(!open.empty(), token.offset);
                node = std::move(open.back());
                open.pop_back();
            } else {
                node.kind = token.kind;
                /* A container's count is in its children; whether it was
                 * definite is a matter of form, which re-encoding changes. */
                const bool container =
                    token.kind == CBOR_WALKER_ARRAY || token.kind == CBOR_WALKER_MAP;
                node.argument = container ? 0 : token.argument;
                if (token.kind == CBOR_WALKER_BYTES || token.kind == CBOR_WALKER_TEXT ||
                    token.kind == CBOR_WALKER_BIGNUM) {
                    node.bytes.assign(reinterpret_cast<const char *>(token.bytes), token.length);
                } else if (token.kind == CBOR_WALKER_FLOAT) {
                    node.real = token.real;
                }
                if (token.kind == CBOR_WALKER_ARRAY || token.kind == CBOR_WALKER_MAP ||
                    token.kind == CBOR_WALKER_TAG) {
                    open.push_back(std::move(node));
                    continue;
                }
            }
            if (open.empty()) {
                outcome.items.push_back(std::move(node));
                break;
            }
            open.back().children.push_back(std::move(node));
        }
    }
    cbor_walker_free(walker);
    return outcome;
}

/* ------------------------------------------------------------ reference */

/* Where the first ill-formed UTF-8 sequence starts, or length: each
 * sequence is decoded to its scalar value and the value range-checked. */
size_t reference_utf8_error(const uint8_t *text, size_t length) {
    size_t i = 0;
    while (i < length) {
        uint8_t lead = text[i];
        size_t extra = lead < 0x80       ? 0
                       : lead >> 5 == 6  ? 1
                       : lead >> 4 == 14 ? 2
                       : lead >> 3 == 30 ? 3
                                         : 9;
        if (extra == 9 || length - i - 1 < extra) {
            return i;
        }
        uint32_t scalar = extra == 0 ? lead : lead & (0x3F >> extra);
        for (size_t k = 1; k <= extra; k++) {
            if ((text[i + k] & 0xC0) != 0x80) {
                return i;
            }
            scalar = scalar << 6 | (text[i + k] & 0x3F);
        }
        static const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (scalar < smallest[extra] || scalar > 0x10FFFF ||
            (scalar >= 0xD800 && scalar <= 0xDFFF)) {
            return i;
        }
        i += extra + 1;
    }
    return length;
}

struct Reference {
    const uint8_t *data;
    size_t size;
    uint64_t max_depth;
    size_t pos = 0;
    int status = CBOR_WALKER_OK;
    uint64_t offset = 0;

    bool fail(int why, size_t at) {
        status = why;
        offset = at;
        return false;
    }

    /* A string of major type `major` (2 or 3) whose head is at pos. */
    bool string(int major, size_t at) {
        if ((data[pos] & 0x1F) != 31) {
            return chunk(at);
        }
        pos++;
        for (;;) {
            if (pos >= size) {
                return fail(CBOR_WALKER_TRUNCATED, pos);
            }
            if (data[pos] == 0xFF) {
                pos++;
                return true;
            }
            if (data[pos] >> 5 != major || (data[pos] & 0x1F) >= 28) {
                return fail(CBOR_WALKER_BAD_CHUNK, pos);
            }
            if (!chunk(pos)) {
                return false;
            }
        }
    }

    /* A definite string at pos; `at` is where a truncation is reported. */
    bool chunk(size_t at) {
        reference::item head = reference::decode(data, size, pos);
        if (!head.ok) {
            return fail(CBOR_WALKER_TRUNCATED, at);
        }
        size_t content = pos + head.consumed - static_cast<size_t>(head.argument);
        if ((data[pos] >> 5) == 3) {
            size_t bad = reference_utf8_error(data + content, static_cast<size_t>(head.argument));
            if (bad != head.argument) {
                return fail(CBOR_WALKER_BAD_UTF8, content + bad);
            }
        }
        pos += head.consumed;
        return true;
    }

    bool item(uint64_t depth) {
        const size_t at = pos;
        if (pos >= size) {
            return fail(CBOR_WALKER_TRUNCATED, pos);
        }
        const uint8_t initial = data[pos];
        if (initial == 0xFF) {
            return fail(CBOR_WALKER_UNEXPECTED_BREAK, pos);
        }
        if (depth > max_depth) {
            return fail(CBOR_WALKER_TOO_DEEP, pos);
        }
        const int major = initial >> 5;
        const int info = initial & 0x1F;
        if (major == 7) {
            if (initial == 0xF8) {
                if (size - pos < 2) {
                    return fail(CBOR_WALKER_TRUNCATED, at);
                }
                if (data[pos + 1] < 32) {
                    return fail(CBOR_WALKER_BAD_SIMPLE, at);
                }
                pos += 2;
                return true;
            }
            if (info >= 28) {
                return fail(CBOR_WALKER_RESERVED, at);
            }
            reference::item head = reference::decode(data, size, pos);
            if (!head.ok) {
                return fail(CBOR_WALKER_TRUNCATED, at);
            }
            pos += head.consumed;
            return true;
        }
        if (info >= 28 && info <= 30) {
            return fail(CBOR_WALKER_RESERVED, at);
        }
        if (info == 31 && (major <= 1 || major == 6)) {
            return fail(CBOR_WALKER_BAD_INDEFINITE, at);
        }
        if (major == 2 || major == 3) {
            return string(major, at);
        }
        uint64_t count = 0;
        bool indefinite = info == 31;
        if (indefinite) {
            pos++;
        } else {
            reference::item head = reference::decode(data, size, pos);
            if (!head.ok) {
                return fail(CBOR_WALKER_TRUNCATED, at);
            }
            count = head.argument;
            pos += head.consumed;
        }
        if (major <= 1) {
            return true;
        }
        const size_t left = size - pos;
        if (major == 6) {
            if (count == 2 || count == 3) {
                if (pos >= size) {
                    return fail(CBOR_WALKER_TRUNCATED, pos);
                }
                if (data[pos] >> 5 != 2) {
                    return fail(CBOR_WALKER_BAD_BIGNUM, at);
                }
                if ((data[pos] & 0x1F) >= 28 && (data[pos] & 0x1F) <= 30) {
                    return fail(CBOR_WALKER_RESERVED, pos);
                }
                return string(2, pos);
            }
            return item(depth + 1);
        }
        if (!indefinite && (major == 4 ? count > left : count > left / 2)) {
            return fail(CBOR_WALKER_TRUNCATED, at);
        }
        const uint64_t per_entry = major == 5 ? 2 : 1;
        for (uint64_t i = 0; indefinite || i < count; i++) {
            if (indefinite && pos < size && data[pos] == 0xFF) {
                pos++;
                return true;
            }
            for (uint64_t k = 0; k < per_entry; k++) {
                if (!item(depth + 1)) {
                    return false;
                }
            }
        }
        return true;
    }
};

/* ------------------------------------------------------------ re-encoding */

void write(cbor_generator *out, const Node &node) {
    int result = 0;
    switch (node.kind) {
    case CBOR_WALKER_UINT:
        result = cbor_write_uint(out, node.argument);
        break;
    case CBOR_WALKER_NEGINT:
        result = cbor_write_negint(out, ~node.argument);
        break;
    case CBOR_WALKER_BIGNUM:
        result = _cbor_write_uint_helper(out, 6, node.argument) |
                 cbor_write_byte_string(out, node.bytes.data(), node.bytes.size());
        break;
    case CBOR_WALKER_BYTES:
        result = cbor_write_byte_string(out, node.bytes.data(), node.bytes.size());
        break;
    case CBOR_WALKER_TEXT:
        result = cbor_write_text_string(out, node.bytes.data(), node.bytes.size());
        break;
    case CBOR_WALKER_FLOAT:
        result = cbor_write_float(out, node.real) < 0 ? -1 : 0;
        break;
    case CBOR_WALKER_SIMPLE:
        result = _cbor_write_uint_helper(out, 7, node.argument);
        break;
    case CBOR_WALKER_ARRAY:
        result = cbor_write_array(out, node.children.size());
        break;
    case CBOR_WALKER_MAP:
        result = cbor_write_map(out, node.children.size() / 2);
        break;
    case CBOR_WALKER_TAG:
        result = _cbor_write_uint_helper(out, 6, node.argument);
        break;
    default:
        break;
    }
    REFERENCE_CHECK(result == 0, 0);
    for (const Node &child : node.children) {
        write(out, child);
    }
}

/* ------------------------------------------------------------ tag texts */

/* RFC 3339 by its grammar: the text matched against a pattern of digit
 * places, then each field checked against its range (a day against the
 * month's length, found as the distance to the next month's first day). */
bool reference_time(const std::string &text, bool date_only, cbor_time_fields *fields) {
    const std::string date_pattern = "dddd-dd-dd";
    const std::string time_pattern = "dddd-dd-ddTdd:dd:dd";
    const std::string &pattern = date_only ? date_pattern : time_pattern;
    if (text.size() < pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < pattern.size(); i++) {
        const char c = text[i];
        const bool ok = pattern[i] == 'd'   ? c >= '0' && c <= '9'
                        : pattern[i] == 'T' ? c == 'T' || c == 't'
                                            : c == pattern[i];
        if (!ok) {
            return false;
        }
    }
    auto number = [&](size_t at, size_t count) { return std::stoi(text.substr(at, count)); };
    cbor_time_fields got{};
    got.year = number(0, 4);
    const int month = number(5, 2);
    const int day = number(8, 2);
    if (month < 1 || month > 12 || day < 1) {
        return false;
    }
    const int next_year = month == 12 ? got.year + 1 : got.year;
    const unsigned next_month = month == 12 ? 1 : static_cast<unsigned>(month) + 1;
    const int64_t length = cbor_time_days_from_civil(next_year, next_month, 1) -
                           cbor_time_days_from_civil(got.year, static_cast<unsigned>(month), 1);
    if (day > length) {
        return false;
    }
    got.month = static_cast<uint8_t>(month);
    got.day = static_cast<uint8_t>(day);
    if (date_only) {
        *fields = got;
        return text.size() == pattern.size();
    }
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2);
    if (hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    got.hour = static_cast<uint8_t>(hour);
    got.minute = static_cast<uint8_t>(minute);
    got.second = static_cast<uint8_t>(second);
    size_t at = pattern.size();
    if (at < text.size() && text[at] == '.') {
        std::string digits;
        for (at++; at < text.size() && text[at] >= '0' && text[at] <= '9'; at++) {
            digits.push_back(text[at]);
        }
        if (digits.empty()) {
            return false;
        }
        digits = (digits + "000000").substr(0, 6);
        got.microsecond = static_cast<uint32_t>(std::stoul(digits));
    }
    const std::string zone = text.substr(at);
    if (zone == "Z" || zone == "z") {
        got.offset_minutes = 0;
    } else {
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') {
            return false;
        }
        for (size_t i : {1, 2, 4, 5}) {
            if (zone[i] < '0' || zone[i] > '9') {
                return false;
            }
        }
        const int zone_hour = std::stoi(zone.substr(1, 2));
        const int zone_minute = std::stoi(zone.substr(4, 2));
        if (zone_hour > 23 || zone_minute > 59) {
            return false;
        }
        got.offset_minutes = (zone[0] == '-' ? -1 : 1) * (zone_hour * 60 + zone_minute);
    }
    *fields = got;
    return true;
}

bool same_fields(const cbor_time_fields &a, const cbor_time_fields &b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second && a.microsecond == b.microsecond &&
           a.offset_minutes == b.offset_minutes;
}

void check_time_text(const std::string &text, bool date_only) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    cbor_time_fields fields{};
    const bool accepted = (date_only ? cbor_time_parse_date(bytes, text.size(), &fields)
                                     : cbor_time_parse_datetime(bytes, text.size(), &fields)) == 0;
    cbor_time_fields expected{};
    const bool valid = reference_time(text, date_only, &expected);
    REFERENCE_CHECK(accepted == valid, 0);
    if (!accepted) {
        return;
    }
    REFERENCE_CHECK(same_fields(fields, expected), 0);
    if (date_only || fields.second == 60) {
        return; /* a leap second has no date-time of its own to write */
    }
    char written[CBOR_TIME_TEXT_MAX];
    const size_t length = cbor_time_format_datetime(&fields, written);
    cbor_time_fields again{};
    REFERENCE_CHECK(cbor_time_parse_datetime(reinterpret_cast<const uint8_t *>(written), length,
                                             &again) == 0,
                    0);
    REFERENCE_CHECK(same_fields(again, fields), 0);
}

/* Every tag 0 or 1004 around text in the tree. */
void check_tag_texts(const Node &node) {
    if (node.kind == CBOR_WALKER_TAG && node.children.size() == 1 &&
        node.children[0].kind == CBOR_WALKER_TEXT && (node.argument == 0 || node.argument == 1004)) {
        check_time_text(node.children[0].bytes, node.argument == 1004);
    }
    for (const Node &child : node.children) {
        check_tag_texts(child);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *raw, size_t raw_size) {
    if (raw_size == 0) {
        return 0;
    }
    const uint64_t max_depth = raw[0];
    const size_t size = raw_size - 1;
    auto *input = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    if (input == nullptr) {
        return 0;
    }
    memcpy(input, raw + 1, size);

    Outcome got = walk(input, size, max_depth);
    Reference want{input, size, max_depth};
    while (want.pos < size && want.item(0)) {
    }
    REFERENCE_CHECK(got.status == want.status, want.offset);
    REFERENCE_CHECK(got.offset == want.offset, want.offset);

    if (got.status == CBOR_WALKER_OK) {
        cbor_generator *out = cbor_generator_create();
        REFERENCE_CHECK(out != nullptr, 0);
        for (const Node &node : got.items) {
            write(out, node);
        }
        Outcome again = walk(out->data, out->len, max_depth);
        REFERENCE_CHECK(again.status == CBOR_WALKER_OK, again.offset);
        REFERENCE_CHECK(again.items.size() == got.items.size(), 0);
        for (size_t i = 0; i < got.items.size(); i++) {
            REFERENCE_CHECK(same_tree(got.items[i], again.items[i]), i);
            check_tag_texts(got.items[i]);
        }
        cbor_generator_free(out);
    }
    free(input);
    return 0;
}
