/*
 * fuzz_cbor_deterministic.cpp - checks arbitrary bytes, read as a CBOR
 * sequence, for deterministic form in both orders, and holds the core's
 * checker to a reference that shares none of its rules:
 *
 *   - every item the walker accepts is rebuilt as a tree from its tokens
 *     and written again by a small encoder here (shortest heads, definite
 *     lengths, floats in the narrowest width that keeps the value, bignums
 *     without leading zeros or as plain integers, map keys and set elements
 *     sorted by their encodings, two equal encodings refused); an item is
 *     deterministic exactly when that encoding is its own bytes;
 *   - the checker accepts the sequence exactly when every item is
 *     deterministic; otherwise it names a byte of the first item that is
 *     not (or the walker's error there), and the rule it names fits the
 *     byte: a long head, an indefinite head, a float, a bignum tag, or the
 *     first byte of a map key or set element;
 *   - checking each item alone, in a block of its exact size, gives the
 *     same answer as the whole sequence, its offset moved by the item's
 *     start.
 *
 * The first input byte is the depth limit; the rest is the sequence.
 */
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "cbor_deterministic.h"
#include "cbor_walker.h"
#include "reference_cbor.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Node {
    int kind = 0;
    uint64_t argument = 0;
    Bytes bytes;
    double real = 0;
    Bytes half_nan; /* a NaN read in half width: its own three bytes */
    std::vector<Node> children;
};

/* Where the items of the input begin and end, and what the walker made of
 * them; the positions of every map key and set element. */
struct Item {
    uint64_t start = 0;
    uint64_t end = 0;
    int status = CBOR_WALKER_OK;
    uint64_t error_offset = 0;
    Node tree;
};

struct Reading {
    std::vector<Item> items;
    std::set<uint64_t> key_starts;
    std::set<uint64_t> element_starts;
};

constexpr uint8_t FLOAT16 = 0xF9;
constexpr uint64_t SET_TAG = 258;

/* Reads the sequence with the walker, item by item, into trees. */
Reading read_sequence(const uint8_t *data, size_t size, uint64_t max_depth) {
    Reading reading;
    cbor_walker *walker = cbor_walker_create(data, size, max_depth);
    REFERENCE_CHECK(walker != nullptr, 0);
    while (cbor_walker_offset(walker) < size) {
        Item item;
        item.start = cbor_walker_offset(walker);
        std::vector<Node> open;
        std::vector<uint64_t> open_count; /* items finished inside each open node */
        for (;;) {
            cbor_walker_token token;
            if (cbor_walker_next(walker, &token) != CBOR_WALKER_OK) {
                item.status = walker->status;
                item.error_offset = walker->error_offset;
                break;
            }
            if (!open.empty()) {
                const Node &parent = open.back();
                const bool in_set = parent.kind == CBOR_WALKER_ARRAY && open.size() >= 2 &&
                                    open[open.size() - 2].kind == CBOR_WALKER_TAG &&
                                    open[open.size() - 2].argument == SET_TAG;
                if (token.kind != CBOR_WALKER_END) {
                    if (parent.kind == CBOR_WALKER_MAP && open_count.back() % 2 == 0) {
                        reading.key_starts.insert(token.offset);
                    } else if (in_set) {
                        reading.element_starts.insert(token.offset);
                    }
                }
            }
            Node node;
            node.kind = token.kind;
            node.argument = token.argument;
            if (token.kind == CBOR_WALKER_ARRAY || token.kind == CBOR_WALKER_MAP ||
                token.kind == CBOR_WALKER_TAG) {
                open.push_back(node);
                open_count.push_back(0);
                continue;
            }
            if (token.kind == CBOR_WALKER_END) {
                node = open.back();
                open.pop_back();
                open_count.pop_back();
            } else if (token.kind == CBOR_WALKER_FLOAT) {
                node.real = token.real;
                if (std::isnan(token.real) && data[token.offset] == FLOAT16) {
                    node.half_nan.assign(data + token.offset, data + token.offset + 3);
                }
            } else if (token.kind == CBOR_WALKER_BIGNUM || token.kind == CBOR_WALKER_BYTES ||
                       token.kind == CBOR_WALKER_TEXT) {
                if (token.length != 0) {
                    node.bytes.assign(token.bytes, token.bytes + token.length);
                }
            }
            if (open.empty()) {
                item.tree = node;
                break;
            }
            open.back().children.push_back(node);
            open_count.back()++;
        }
        item.end = cbor_walker_offset(walker);
        reading.items.push_back(item);
        if (item.status != CBOR_WALKER_OK) {
            break;
        }
    }
    cbor_walker_free(walker);
    return reading;
}

void put_head(Bytes &out, unsigned major, uint64_t argument) {
    const auto initial = static_cast<uint8_t>(major << 5);
    if (argument < 24) {
        out.push_back(static_cast<uint8_t>(initial | argument));
        return;
    }
    unsigned width = argument <= 0xFF ? 1 : argument <= 0xFFFF ? 2 : argument <= 0xFFFFFFFF ? 4 : 8;
    const unsigned info = width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27;
    out.push_back(static_cast<uint8_t>(initial | info));
    while (width-- > 0) {
        out.push_back(static_cast<uint8_t>(argument >> (8 * width)));
    }
}

/* Whether value times 2**scale is a whole number (exact: scaling a double
 * by a power of two loses nothing in this range). */
bool whole_at(double value, int scale) {
    const double scaled = std::ldexp(value, scale);
    return std::floor(scaled) == scaled;
}

/* The float as the narrowest of half, single and double that holds it
 * exactly; half subnormals go to single, as the encoder writes them. */
void put_float(Bytes &out, const Node &node) {
    const double value = node.real;
    if (std::isnan(value)) {
        if (!node.half_nan.empty()) {
            out.insert(out.end(), node.half_nan.begin(), node.half_nan.end());
        } else {
            out.insert(out.end(), {0xF9, 0x7E, 0x00});
        }
        return;
    }
    const uint64_t sign = std::signbit(value) ? 1 : 0;
    const double magnitude = std::fabs(value);
    if (std::isinf(value) || magnitude == 0) {
        const uint64_t half = sign << 15 | (std::isinf(value) ? 0x7C00 : 0);
        out.insert(out.end(), {0xF9, static_cast<uint8_t>(half >> 8), static_cast<uint8_t>(half)});
        return;
    }
    int exponent = 0;
    const double fraction = std::frexp(magnitude, &exponent); /* [0.5, 1) * 2**exponent */
    const int unbiased = exponent - 1;
    if (unbiased >= -14 && unbiased <= 15 && whole_at(fraction, 11)) {
        const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 11)) - 1024;
        const uint64_t half = sign << 15 | static_cast<uint64_t>(unbiased + 15) << 10 | mantissa;
        out.insert(out.end(), {0xF9, static_cast<uint8_t>(half >> 8), static_cast<uint8_t>(half)});
        return;
    }
    uint64_t single = 0;
    bool fits_single = false;
    if (unbiased >= -126 && unbiased <= 127 && whole_at(fraction, 24)) {
        const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 24)) - (1U << 23);
        single = sign << 31 | static_cast<uint64_t>(unbiased + 127) << 23 | mantissa;
        fits_single = true;
    } else if (unbiased < -126 && whole_at(magnitude, 149)) {
        single = sign << 31 | static_cast<uint64_t>(std::ldexp(magnitude, 149));
        fits_single = true;
    }
    if (fits_single) {
        out.push_back(0xFA);
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<uint8_t>(single >> shift));
        }
        return;
    }
    uint64_t bits = 0;
    memcpy(&bits, &value, sizeof bits);
    out.push_back(0xFB);
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(bits >> shift));
    }
}

bool before(int order, const Bytes &a, const Bytes &b) {
    if (order == CBOR_DETERMINISTIC_LENGTH_FIRST && a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a < b;
}

/* Sorts encodings into the order; false when two are equal. */
bool sorted_distinct(int order, std::vector<std::pair<Bytes, Bytes>> &entries) {
    std::vector<std::pair<Bytes, Bytes>> sorted;
    for (auto &entry : entries) {
        auto at = sorted.begin();
        while (at != sorted.end() && before(order, at->first, entry.first)) {
            ++at;
        }
        if (at != sorted.end() && at->first == entry.first) {
            return false;
        }
        sorted.insert(at, entry);
    }
    entries = sorted;
    return true;
}

/* The deterministic encoding of node; false when it has none (two map keys
 * or set elements with one encoding). */
bool encode(const Node &node, int order, bool is_set, Bytes &out) {
    switch (node.kind) {
    case CBOR_WALKER_UINT:
        put_head(out, 0, node.argument);
        return true;
    case CBOR_WALKER_NEGINT:
        put_head(out, 1, node.argument);
        return true;
    case CBOR_WALKER_BIGNUM: {
        size_t first = 0;
        while (first < node.bytes.size() && node.bytes[first] == 0) {
            first++;
        }
        const size_t length = node.bytes.size() - first;
        if (length <= 8) {
            uint64_t magnitude = 0;
            for (size_t i = first; i < node.bytes.size(); i++) {
                magnitude = magnitude << 8 | node.bytes[i];
            }
            put_head(out, node.argument == 2 ? 0 : 1, magnitude);
            return true;
        }
        put_head(out, 6, node.argument);
        put_head(out, 2, length);
        out.insert(out.end(), node.bytes.begin() + static_cast<std::ptrdiff_t>(first),
                   node.bytes.end());
        return true;
    }
    case CBOR_WALKER_BYTES:
    case CBOR_WALKER_TEXT:
        put_head(out, node.kind == CBOR_WALKER_BYTES ? 2 : 3, node.bytes.size());
        out.insert(out.end(), node.bytes.begin(), node.bytes.end());
        return true;
    case CBOR_WALKER_FLOAT:
        put_float(out, node);
        return true;
    case CBOR_WALKER_SIMPLE:
        if (node.argument < 24) {
            out.push_back(static_cast<uint8_t>(0xE0 | node.argument));
        } else {
            out.insert(out.end(), {0xF8, static_cast<uint8_t>(node.argument)});
        }
        return true;
    case CBOR_WALKER_TAG:
        put_head(out, 6, node.argument);
        return encode(node.children[0], order,
                      node.argument == SET_TAG && node.children[0].kind == CBOR_WALKER_ARRAY, out);
    case CBOR_WALKER_ARRAY: {
        put_head(out, 4, node.children.size());
        std::vector<std::pair<Bytes, Bytes>> elements;
        for (const Node &child : node.children) {
            Bytes element;
            if (!encode(child, order, false, element)) {
                return false;
            }
            elements.emplace_back(element, Bytes{});
        }
        if (is_set && !sorted_distinct(order, elements)) {
            return false;
        }
        for (const auto &element : elements) {
            out.insert(out.end(), element.first.begin(), element.first.end());
        }
        return true;
    }
    default: { /* CBOR_WALKER_MAP */
        put_head(out, 5, node.children.size() / 2);
        std::vector<std::pair<Bytes, Bytes>> entries;
        for (size_t i = 0; i + 1 < node.children.size(); i += 2) {
            Bytes key;
            Bytes value;
            if (!encode(node.children[i], order, false, key) ||
                !encode(node.children[i + 1], order, false, value)) {
                return false;
            }
            entries.emplace_back(key, value);
        }
        if (!sorted_distinct(order, entries)) {
            return false;
        }
        for (const auto &entry : entries) {
            out.insert(out.end(), entry.first.begin(), entry.first.end());
            out.insert(out.end(), entry.second.begin(), entry.second.end());
        }
        return true;
    }
    }
}

bool deterministic(const Item &item, const uint8_t *data, int order) {
    Bytes encoded;
    return encode(item.tree, order, false, encoded) &&
           encoded == Bytes(data + item.start, data + item.end);
}

/* Whether the head at data[at] has a shorter form for its argument. */
bool long_head(const uint8_t *data, size_t size, uint64_t at) {
    const reference::item head = reference::decode(data, size, at);
    const size_t shortest = head.argument < 24            ? 1
                            : head.argument <= 0xFF       ? 2
                            : head.argument <= 0xFFFF     ? 3
                            : head.argument <= 0xFFFFFFFF ? 5
                                                          : 9;
    const uint8_t info = data[at] & 0x1F;
    return info >= 24 && info <= 27 && shortest < (size_t{1} << (info - 24)) + 1;
}

/* The rule named fits the byte it names. */
void check_rule(int rule, uint64_t offset, const uint8_t *data, size_t size,
                const Reading &reading) {
    REFERENCE_CHECK(offset < size, offset);
    switch (rule) {
    case CBOR_DETERMINISTIC_LONG_HEAD:
        REFERENCE_CHECK(long_head(data, size, offset), offset);
        break;
    case CBOR_DETERMINISTIC_INDEFINITE:
        REFERENCE_CHECK((data[offset] & 0x1F) == 31, offset);
        break;
    case CBOR_DETERMINISTIC_FLOAT_WIDTH:
        REFERENCE_CHECK(data[offset] >= 0xF9 && data[offset] <= 0xFB, offset);
        break;
    case CBOR_DETERMINISTIC_BIGNUM_FORM:
        REFERENCE_CHECK(data[offset] == 0xC2 || data[offset] == 0xC3, offset);
        break;
    case CBOR_DETERMINISTIC_KEY_ORDER:
    case CBOR_DETERMINISTIC_DUPLICATE_KEY:
        REFERENCE_CHECK(reading.key_starts.count(offset) == 1, offset);
        break;
    case CBOR_DETERMINISTIC_SET_ORDER:
    case CBOR_DETERMINISTIC_DUPLICATE_ELEMENT:
        REFERENCE_CHECK(reading.element_starts.count(offset) == 1, offset);
        break;
    default:
        REFERENCE_CHECK(!"a rule the family does not name", offset);
    }
}

/* The checker over one item alone, copied into a block of its exact size. */
int check_alone(const uint8_t *data, const Item &item, int order, uint64_t max_depth,
                uint64_t *offset) {
    const uint64_t length = item.end - item.start;
    auto *copy = static_cast<uint8_t *>(malloc(length == 0 ? 1 : length));
    REFERENCE_CHECK(copy != nullptr, item.start);
    memcpy(copy, data + item.start, length);
    const int rule = cbor_deterministic_check(copy, length, order, max_depth, 0, offset);
    free(copy);
    *offset += item.start;
    return rule;
}

void check_order(const uint8_t *data, size_t size, uint64_t max_depth, int order,
                 const Reading &reading) {
    uint64_t offset = 0;
    const int rule = cbor_deterministic_check(data, size, order, max_depth, 1, &offset);
    REFERENCE_CHECK(rule != CBOR_DETERMINISTIC_NO_MEMORY, 0);
    for (const Item &item : reading.items) {
        if (item.status != CBOR_WALKER_OK) {
            /* A rule broken before the walker's error, or that error. */
            if (rule == CBOR_DETERMINISTIC_MALFORMED) {
                REFERENCE_CHECK(offset == item.error_offset, offset);
            } else {
                REFERENCE_CHECK(rule > 0 && offset >= item.start && offset <= item.error_offset,
                                offset);
                check_rule(rule, offset, data, size, reading);
            }
            return;
        }
        uint64_t alone_offset = 0;
        const int alone = check_alone(data, item, order, max_depth, &alone_offset);
        if (deterministic(item, data, order)) {
            REFERENCE_CHECK(alone == CBOR_DETERMINISTIC_OK, item.start);
        } else {
            REFERENCE_CHECK(alone > CBOR_DETERMINISTIC_OK && alone == rule, item.start);
            REFERENCE_CHECK(alone_offset == offset, offset);
            REFERENCE_CHECK(offset >= item.start && offset < item.end, offset);
            check_rule(rule, offset, data, size, reading);
            return;
        }
    }
    REFERENCE_CHECK(rule == CBOR_DETERMINISTIC_OK, offset);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *raw, size_t raw_size) {
    if (raw_size == 0) {
        return 0;
    }
    const uint64_t max_depth = raw[0];
    /* The sequence in a block of its exact size: nothing outside is read. */
    const size_t size = raw_size - 1;
    auto *data = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    REFERENCE_CHECK(data != nullptr, 0);
    memcpy(data, raw + 1, size);
    const Reading reading = read_sequence(data, size, max_depth);
    check_order(data, size, max_depth, CBOR_DETERMINISTIC_CORE, reading);
    check_order(data, size, max_depth, CBOR_DETERMINISTIC_LENGTH_FIRST, reading);
    free(data);
    return 0;
}
