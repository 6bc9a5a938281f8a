/*
 * cbor_fast.cpp - dumps' encoder for exact built-in types.
 *
 * The general encoder converts every element into a sum type and appends
 * through the core's writers, one call per head.  Documents made only of
 * the built-in types can be written far more cheaply: dispatch on the exact
 * type, read ints from their digits, str through its
 * cached UTF-8 form, dicts with PyDict_Next, and write heads inline into
 * the thread's kept output block (cbor_out_block.h), copied once into the
 * result; a result known exactly beforehand, or too large for the block,
 * is written into one bytes object that grows geometrically and is shrunk
 * to its length at the end, so it is copied at most once (only a large
 * block with much unused room, see FastEncoder::finish).
 *
 * Exactly the same bytes as the general encoder: the float widths come from
 * the core's bit-arithmetic choice, which matches the decoding proof the
 * general path runs.  Exactly the same failures: nothing here raises.
 * Every case where the general encoder would fail or would run Python code
 * makes this one give up (returning null), and since nothing of the value
 * was touched, the general encoder then does the call as if this one had
 * never run.  Only one Python hook can fire in here, a garbage collection
 * triggered by an exception object created on a failing conversion; the
 * walk gives up right then, without reading the value any further.
 *
 * The general encoder's recursion and stack checks are stood for by a
 * nesting budget: the walk gives up before the depth at which either could
 * fail, so it never succeeds where the general encoder would raise.
 */
#include "cbor_fast.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "cbor_generator.h"
#include "cbor_out_block.h"

namespace {

constexpr uint8_t INDEFINITE_ARRAY = 0x9F;
constexpr uint8_t INDEFINITE_MAP = 0xBF;
constexpr uint8_t FALSE_ITEM = 0xF4;
constexpr uint8_t TRUE_ITEM = 0xF5;
constexpr uint8_t NULL_ITEM = 0xF6;
constexpr uint8_t BREAK_ITEM = 0xFF;

/* The longest head and the longest float item. */
constexpr std::size_t MAX_HEAD = 9;

/* How many items ahead of the one being written a list's walk fetches. */
constexpr Py_ssize_t PREFETCH_DISTANCE = 8;

/* The first block of a small document, shrunk to its length at the end. */
constexpr Py_ssize_t FIRST_BLOCK = 256;

/* A block at least this large whose unused room is more than this fraction
 * of it is copied out rather than cut (see FastEncoder::finish). */
constexpr Py_ssize_t LARGE_BLOCK = Py_ssize_t{1} << 20;
constexpr Py_ssize_t LARGE_SLACK_FRACTION = 64;

/* Items of a long list or tuple looked at to guess the output's size. */
constexpr Py_ssize_t SIZE_SAMPLES = 16;
/* Bytes guessed for each item of a sampled container. */
constexpr Py_ssize_t GUESS_PER_ELEMENT = 16;
/* Beyond this a guess is not trusted: the block grows by doubling. */
constexpr Py_ssize_t LARGEST_GUESS = Py_ssize_t{1} << 30;

/* The first room for sorted keys and their encodings; most documents'
 * maps, nested included, fit and never grow them. */
constexpr std::size_t FIRST_KEYS = 64;
constexpr std::size_t FIRST_SCRATCH = 1024;

/* Map shapes remembered at once (a document's records, their nested
 * objects, ...): sets of two ways, so that two shapes a document
 * alternates between rarely push each other out; and the most keys of one
 * (larger maps are rare enough to sort each time). */
constexpr unsigned SHAPE_SET_BITS = 3;
constexpr std::size_t SHAPE_WAYS = 2;
constexpr std::size_t MAX_SHAPE_KEYS = 64;

/*
 * The exact size of a sequence made only of byte strings, or 0 when any
 * item is something else.  Lists of blobs are where a guess costs most: the
 * output is nearly all copied bytes, so any spare room or regrowth is a
 * large share of the call; their exact size is a cheap pass over the items'
 * lengths.
 */
Py_ssize_t byte_strings_size(PyObject **items, Py_ssize_t count) {
    constexpr auto head = static_cast<Py_ssize_t>(MAX_HEAD);
    Py_ssize_t total = 2 * head; /* the sequence's head, or its framing */
    for (Py_ssize_t i = 0; i < count; i++) {
        if (Py_TYPE(items[i]) != &PyBytes_Type) {
            return 0;
        }
        const Py_ssize_t size = PyBytes_GET_SIZE(items[i]);
        if (size > LARGEST_GUESS - total - head) {
            return 0;
        }
        total += cbor_head_size(static_cast<uint64_t>(size)) + size;
    }
    return total;
}

/*
 * A first guess at the size of a list's or tuple's encoding: exact for one
 * of byte strings, else, for a long one, from a few of its items spread
 * over it, so that a large document is written into one block instead of
 * growing it by doubling (each growth may copy everything written so far).
 * A guess too large costs only address space: the unused tail is never
 * touched and is cut off at the end.
 */
Py_ssize_t first_block(PyObject *value, bool &exact) {
    exact = false;
    PyTypeObject *type = Py_TYPE(value);
    if (type != &PyList_Type && type != &PyTuple_Type) {
        return FIRST_BLOCK;
    }
    const Py_ssize_t count = Py_SIZE(value);
    PyObject **items = PySequence_Fast_ITEMS(value);
    if (const Py_ssize_t size = byte_strings_size(items, count)) {
        exact = true;
        return std::max(size, FIRST_BLOCK);
    }
    if (count < 4 * SIZE_SAMPLES) {
        return FIRST_BLOCK;
    }
    Py_ssize_t sampled = 0;
    for (Py_ssize_t i = 0; i < SIZE_SAMPLES; i++) {
        PyObject *item = items[i * (count / SIZE_SAMPLES)];
        PyTypeObject *item_type = Py_TYPE(item);
        Py_ssize_t guess = MAX_HEAD;
        if (item_type == &PyBytes_Type) {
            guess += PyBytes_GET_SIZE(item);
        } else if (item_type == &PyUnicode_Type) {
            guess += PyUnicode_GET_LENGTH(item);
        } else if (item_type == &PyList_Type || item_type == &PyTuple_Type) {
            guess += GUESS_PER_ELEMENT * Py_SIZE(item);
        } else if (item_type == &PyDict_Type) {
            guess += GUESS_PER_ELEMENT * PyDict_GET_SIZE(item);
        }
        sampled += guess;
    }
    const double total = static_cast<double>(sampled) / SIZE_SAMPLES * static_cast<double>(count);
    return FIRST_BLOCK +
           static_cast<Py_ssize_t>(std::min(total, static_cast<double>(LARGEST_GUESS)));
}

/* A map shape: its keys in the order a dict gave them, then, in their
 * sorted order, the index of each among them and its encoding's size, and
 * the encodings back to back.  One block holds the four arrays. */
struct Shape {
    std::size_t count = 0; /* 0: nothing remembered */
    int busy = 0;          /* maps being written from it */
    uint64_t last_use = 0;
    PyObject **keys = nullptr;
    uint32_t *order = nullptr;
    uint32_t *sizes = nullptr;
    uint8_t *encoded = nullptr;
    std::size_t room = 0;

    Shape() = default;
    ~Shape() { free(keys); }
    Shape(const Shape &) = delete;
    Shape &operator=(const Shape &) = delete;

    bool matches(PyObject *const *pairs, std::size_t entries) const {
        if (count != entries) {
            return false;
        }
        for (std::size_t i = 0; i < entries; i++) {
            if (pairs[2 * i] != keys[i]) {
                return false;
            }
        }
        return true;
    }

    /* Room for this many keys and encoded bytes; false, leaving the shape
     * empty but whole, when the memory is not there. */
    bool hold(std::size_t entries, std::size_t encoded_size) {
        const std::size_t wanted =
            entries * (sizeof(PyObject *) + 2 * sizeof(uint32_t)) + encoded_size;
        if (wanted > room) {
            void *grown = realloc(keys, wanted);
            if (grown == nullptr) {
                return false;
            }
            keys = static_cast<PyObject **>(grown);
            room = wanted;
        }
        order = reinterpret_cast<uint32_t *>(keys + entries);
        sizes = order + entries;
        encoded = reinterpret_cast<uint8_t *>(sizes + entries);
        return true;
    }
};

/* Stands for "give up": unwinds the walk to the entry point.  It is thrown
 * at most once a call, so its cost does not matter, and the hot paths stay
 * free of result checks. */
struct GiveUp {};

/*
 * Sorted: the deterministic encodings' walk (definite lengths only).  Each
 * map's keys are encoded first, into a scratch area, and sorted; then each
 * key is copied out in its place, followed by its value encoded straight
 * into the output, so no value is written twice or moved.  A set (tag 258)
 * has no values: its elements are written, then copied out and back in
 * their order.  Two keys with one encoding make the walk give up: the
 * general encoder then raises its error, naming where they are.
 */
template <bool Indefinite, bool Limited, bool Sorted> class FastEncoder {
public:
    FastEncoder(uint64_t limit, std::size_t max_nesting, tovarel::cbor::KeyOrder key_order)
        : max_depth(limit), nesting_left(max_nesting), order(key_order) {}
    ~FastEncoder() {
        Py_XDECREF(output);
        free(scratch);
        free(keys);
        free(pairs);
    }
    FastEncoder(const FastEncoder &) = delete;
    FastEncoder &operator=(const FastEncoder &) = delete;

    /* A result whose size is known (a list of byte strings) is written
     * straight into a bytes object of that size.  Else one the thread's
     * kept block can hold is written there and copied out once; a larger
     * one straight into its bytes object (a copy of it would cost more than
     * the block saves), as is a nested call's while the outer one holds the
     * block. */
    PyObject *run(PyObject *value) {
        bool exact = false;
        capacity = first_block(value, exact);
        if (!exact && static_cast<std::size_t>(capacity) <= tovarel::cbor::KEPT_BLOCK_LIMIT) {
            block.emplace(static_cast<std::size_t>(capacity));
            if (block->held()) {
                start = block->data();
                capacity = static_cast<Py_ssize_t>(block->capacity());
                encode(value);
                return finish();
            }
            block.reset();
        }
        output = PyBytes_FromStringAndSize(nullptr, capacity);
        if (output == nullptr && capacity > FIRST_BLOCK) {
            PyErr_Clear(); /* a guess too large for the memory there is */
            capacity = FIRST_BLOCK;
            output = PyBytes_FromStringAndSize(nullptr, capacity);
        }
        if (output == nullptr) {
            PyErr_Clear();
            throw GiveUp{};
        }
        start = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(output));
        encode(value);
        return finish();
    }

private:
    void encode(PyObject *value) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type) {
            write_str(value);
        } else if (type == &PyLong_Type) {
            write_int(value);
        } else if (type == &PyFloat_Type) {
            reserve(MAX_HEAD);
            length += cbor_float_item(PyFloat_AS_DOUBLE(value), start + length);
        } else if (type == &PyDict_Type) {
            write_dict(value);
        } else if (type == &PyList_Type) {
            write_array(PyList_GET_SIZE(value), PySequence_Fast_ITEMS(value));
        } else if (type == &PyTuple_Type) {
            write_array(PyTuple_GET_SIZE(value), PySequence_Fast_ITEMS(value));
        } else if (type == &PyBytes_Type) {
            write_string(CBOR_MAJOR_BYTE_STRING, PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
        } else if (type == &PyByteArray_Type) {
            write_string(CBOR_MAJOR_BYTE_STRING, PyByteArray_AS_STRING(value),
                         PyByteArray_GET_SIZE(value));
        } else if (value == Py_None) {
            put_byte(NULL_ITEM);
        } else if (value == Py_True) {
            put_byte(TRUE_ITEM);
        } else if (value == Py_False) {
            put_byte(FALSE_ITEM);
        } else if (Sorted && (type == &PySet_Type || type == &PyFrozenSet_Type)) {
            write_set(value);
        } else {
            throw GiveUp{};
        }
    }

    /*
     * -2^63 to 2^64 - 1; beyond that the general encoder raises its range
     * error.  The magnitude is read from the int's digits (sign in the
     * size, 30 bits a digit): up to three digits may hold 64 bits.
     */
    void write_int(PyObject *value) {
        static_assert(PyLong_SHIFT == 30, "an int's digits hold 30 bits");
        const Py_ssize_t size = Py_SIZE(value);
        const Py_ssize_t count = size < 0 ? -size : size;
        const digit *digits = reinterpret_cast<PyLongObject *>(value)->ob_digit;
        uint64_t magnitude = 0;
        switch (count) {
        case 3:
            if (digits[2] >> (64 - 2 * PyLong_SHIFT) != 0) {
                throw GiveUp{};
            }
            magnitude = static_cast<uint64_t>(digits[2]) << (2 * PyLong_SHIFT);
            [[fallthrough]];
        case 2:
            magnitude |= static_cast<uint64_t>(digits[1]) << PyLong_SHIFT;
            [[fallthrough]];
        case 1:
            magnitude |= digits[0];
            [[fallthrough]];
        case 0:
            break;
        default:
            throw GiveUp{};
        }
        reserve(MAX_HEAD);
        if (size >= 0) {
            put_head(CBOR_MAJOR_UINT, magnitude);
        } else if (magnitude <= uint64_t{1} << 63) {
            put_head(CBOR_MAJOR_NEGINT, magnitude - 1); /* -1 - n for n = -magnitude */
        } else {
            throw GiveUp{};
        }
    }

    /* A str that cannot be encoded strictly (a lone surrogate) is the
     * general encoder's cast error. */
    void write_str(PyObject *value) {
        if (PyUnicode_IS_COMPACT_ASCII(value)) { /* its characters are its UTF-8 */
            write_string(CBOR_MAJOR_TEXT_STRING, static_cast<const char *>(PyUnicode_DATA(value)),
                         PyUnicode_GET_LENGTH(value));
            return;
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(value, &size);
        if (text == nullptr) {
            PyErr_Clear();
            throw GiveUp{};
        }
        write_string(CBOR_MAJOR_TEXT_STRING, text, size);
    }

    void write_string(uint8_t major_type, const char *bytes, Py_ssize_t size) {
        reserve(MAX_HEAD + static_cast<std::size_t>(size));
        put_head(major_type, static_cast<uint64_t>(size));
        memcpy(start + length, bytes, static_cast<std::size_t>(size));
        length += size;
    }

    /* Counts the containers being walked against the budget. */
    class Container {
    public:
        explicit Container(FastEncoder &walk) : encoder(walk) {
            if (encoder.nesting_left == 0) {
                throw GiveUp{};
            }
            --encoder.nesting_left;
        }
        ~Container() { ++encoder.nesting_left; }
        Container(const Container &) = delete;
        Container &operator=(const Container &) = delete;

    private:
        FastEncoder &encoder;
    };

    /* Lists and tuples alike: nothing here runs Python code, so the item
     * array stays as it is for the whole walk. */
    void write_array(Py_ssize_t count, PyObject **items) {
        Container guard(*this);
        open(CBOR_MAJOR_ARRAY, INDEFINITE_ARRAY, count);
        for (Py_ssize_t i = 0; i < count; i++) {
            /* Items lie scattered over the heap; asking for one a few
             * places ahead hides most of the wait for its header. */
            if (i + PREFETCH_DISTANCE < count) {
                __builtin_prefetch(items[i + PREFETCH_DISTANCE]);
            }
            enter_level();
            encode(items[i]);
            leave_level();
        }
        close();
    }

    void write_dict(PyObject *dict) {
        if constexpr (Sorted) {
            write_sorted_dict(dict);
            return;
        }
        Container guard(*this);
        open(CBOR_MAJOR_MAP, INDEFINITE_MAP, PyDict_GET_SIZE(dict));
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        while (PyDict_Next(dict, &position, &key, &item)) {
            enter_level();
            encode(key);
            encode(item);
            leave_level();
        }
        close();
    }

    /*
     * A map's entries are taken into the pairs stack first (keys and values
     * alternating), then written in their keys' order.  JSON-like data has
     * many maps of one shape, the same key objects in the same order (the
     * constants of the code that built them, or one decoder's memo of its
     * keys): a map whose keys are those of a remembered shape takes its
     * order and encoded keys from the shape, and neither encodes nor sorts
     * them again.  Only the identity of the keys is compared; it holds for
     * the whole walk, since the value keeps every key alive and no Python
     * code runs.
     */
    [[gnu::noinline]] void write_sorted_dict(PyObject *dict) {
        Container guard(*this);
        const Py_ssize_t count = PyDict_GET_SIZE(dict);
        reserve(MAX_HEAD);
        put_head(CBOR_MAJOR_MAP, static_cast<uint64_t>(count));
        if (count == 0) {
            return;
        }
        const auto entries = static_cast<std::size_t>(count);
        const std::size_t base = pairs_used;
        reserve_pairs(2 * entries);
        PyObject **at = pairs + base;
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        while (PyDict_Next(dict, &position, &key, &item)) {
            *at++ = key;
            *at++ = item;
        }
        pairs_used += 2 * entries;
        Shape *pair = shapes + shape_slot(pairs[base], entries);
        for (Shape *shape = pair; shape != pair + SHAPE_WAYS; shape++) {
            if (shape->matches(pairs + base, entries)) {
                shape->last_use = ++shape_uses;
                write_known_shape(*shape, base, entries);
                pairs_used = base;
                return;
            }
        }
        write_new_shape(replaceable(pair), base, entries);
        pairs_used = base;
    }

    /* A map with a remembered shape: its keys' encodings in order, each
     * followed by its value.  Its keys are scalars (see remember), whose
     * level check is the one its value's walk makes. */
    void write_known_shape(Shape &shape, std::size_t base, std::size_t entries) {
        ++shape.busy; /* a nested map must not replace it meanwhile */
        std::size_t offset = 0;
        for (std::size_t i = 0; i < entries; i++) {
            const std::size_t size = shape.sizes[i];
            reserve(size);
            memcpy(start + length, shape.encoded + offset, size);
            length += static_cast<Py_ssize_t>(size);
            offset += size;
            enter_level();
            encode(pairs[base + 2 * shape.order[i] + 1]);
            leave_level();
        }
        --shape.busy;
    }

    /* The keys are walked at the entries' level, as the values are, so the
     * depth limit and the nesting budget see what the general encoder's
     * walk (key, then value, one entry at a time) sees. */
    void write_new_shape(Shape *shape, std::size_t base, std::size_t entries) {
        const std::size_t first = keys_used;
        const std::size_t scratch_mark = scratch_used;
        bool scalars = true;
        for (std::size_t i = 0; i < entries; i++) {
            PyObject *key = pairs[base + 2 * i];
            scalars = scalars && is_scalar(key);
            enter_level();
            push_key(key, i);
            leave_level();
        }
        if (!tovarel::cbor::sort_keys(scratch, keys + first, entries, order)) {
            throw GiveUp{};
        }
        if (scalars && entries <= MAX_SHAPE_KEYS && shape != nullptr) {
            shape->last_use = ++shape_uses;
            remember(*shape, base, first, entries);
        }
        for (std::size_t i = 0; i < entries; i++) {
            /* A value's own maps push keys above these, and may move the
             * arrays: the entry is copied out before its value is walked. */
            const tovarel::cbor::SortKey entry = keys[first + i];
            reserve(entry.size);
            memcpy(start + length, scratch + entry.offset, entry.size);
            length += static_cast<Py_ssize_t>(entry.size);
            enter_level();
            encode(pairs[base + 2 * entry.index + 1]);
            leave_level();
        }
        keys_used = first;
        scratch_used = scratch_mark;
    }

    /* Keys that hold no container: their encoding depends on the object
     * alone, and walking them checks nothing but their entry's level. */
    static bool is_scalar(PyObject *key) {
        PyTypeObject *type = Py_TYPE(key);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
               type == &PyBytes_Type || key == Py_None || key == Py_True || key == Py_False;
    }

    /* Keeps the sorted keys of the map at pairs[base] in the shape.  Not
     * finding the memory only leaves the shape empty. */
    void remember(Shape &shape, std::size_t base, std::size_t first, std::size_t entries) {
        std::size_t encoded_size = 0;
        for (std::size_t i = 0; i < entries; i++) {
            encoded_size += keys[first + i].size;
        }
        shape.count = 0;
        if (!shape.hold(entries, encoded_size)) {
            return;
        }
        std::size_t offset = 0;
        for (std::size_t i = 0; i < entries; i++) {
            const tovarel::cbor::SortKey &entry = keys[first + i];
            shape.keys[i] = pairs[base + 2 * i];
            shape.order[i] = static_cast<uint32_t>(entry.index);
            shape.sizes[i] = static_cast<uint32_t>(entry.size);
            memcpy(shape.encoded + offset, scratch + entry.offset, entry.size);
            offset += entry.size;
        }
        shape.count = entries;
    }

    /* Of a set of ways, the one a new shape takes: one not being written
     * from, the least recently used; null when both are in use. */
    static Shape *replaceable(Shape *ways) {
        Shape *chosen = nullptr;
        for (Shape *shape = ways; shape != ways + SHAPE_WAYS; shape++) {
            if (shape->busy == 0 && (chosen == nullptr || shape->last_use < chosen->last_use)) {
                chosen = shape;
            }
        }
        return chosen;
    }

    /* The first of the ways where a map with this first key and size is
     * looked for. */
    static std::size_t shape_slot(PyObject *first_key, std::size_t entries) {
        constexpr uint64_t golden = 0x9E3779B97F4A7C15u; /* spreads the bits over the top */
        const uint64_t mixed =
            (static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(first_key)) >> 4 ^ entries) *
            golden;
        return SHAPE_WAYS * static_cast<std::size_t>(mixed >> (64 - SHAPE_SET_BITS));
    }

    /* A key's encoding, appended to the scratch area.  An ASCII str (the
     * usual key) is written there directly; anything else is encoded at
     * the output's end, as any value is, and moved over. */
    void push_key(PyObject *key, std::size_t index) {
        std::size_t size = 0;
        if (Py_TYPE(key) == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(key)) {
            const auto characters = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
            reserve_scratch(MAX_HEAD + characters);
            uint8_t *at = scratch + scratch_used;
            size =
                static_cast<std::size_t>(cbor_head_encode(at, CBOR_MAJOR_TEXT_STRING, characters));
            memcpy(at + size, PyUnicode_DATA(key), characters);
            size += characters;
        } else {
            const Py_ssize_t mark = length;
            encode(key);
            size = static_cast<std::size_t>(length - mark);
            reserve_scratch(size);
            memcpy(scratch + scratch_used, start + mark, size);
            length = mark;
        }
        append_key(tovarel::cbor::sort_key_prefix(scratch + scratch_used, size), scratch_used, size,
                   index);
        scratch_used += size;
    }

    /* Tag 258 around the elements in their keys' order. */
    [[gnu::noinline]] void write_set(PyObject *set) {
        constexpr uint64_t set_tag = 258;
        Container guard(*this);
        const Py_ssize_t count = PySet_GET_SIZE(set);
        reserve(2 * MAX_HEAD);
        put_head(CBOR_MAJOR_TAG, set_tag);
        put_head(CBOR_MAJOR_ARRAY, static_cast<uint64_t>(count));
        const std::size_t first = keys_used;
        const Py_ssize_t begin = length;
        Py_ssize_t position = 0;
        PyObject *element = nullptr;
        Py_hash_t hash = 0;
        while (_PySet_NextEntry(set, &position, &element, &hash)) {
            enter_level();
            const Py_ssize_t at = length;
            encode(element);
            leave_level();
            const auto size = static_cast<std::size_t>(length - at);
            append_key(tovarel::cbor::sort_key_prefix(start + at, size),
                       static_cast<std::size_t>(at - begin), size, 0);
        }
        if (count > 1) {
            order_elements(first, begin);
        }
        keys_used = first;
    }

    /* The elements written from begin on, one key each from first on, put
     * into their order through the scratch area. */
    void order_elements(std::size_t first, Py_ssize_t begin) {
        const auto total = static_cast<std::size_t>(length - begin);
        const std::size_t base = scratch_used;
        reserve_scratch(total);
        memcpy(scratch + base, start + begin, total);
        const std::size_t count = keys_used - first;
        tovarel::cbor::SortKey *elements = keys + first;
        for (std::size_t i = 0; i < count; i++) {
            elements[i].offset += base;
        }
        if (!tovarel::cbor::sort_keys(scratch, elements, count, order)) {
            throw GiveUp{};
        }
        uint8_t *at = start + begin;
        for (std::size_t i = 0; i < count; i++) {
            memcpy(at, scratch + elements[i].offset, elements[i].size);
            at += elements[i].size;
        }
    }

    void append_key(uint64_t prefix, std::size_t offset, std::size_t size, std::size_t index) {
        if (keys_used == keys_capacity) {
            grow_array(keys, keys_capacity, FIRST_KEYS);
        }
        keys[keys_used++] = tovarel::cbor::SortKey{prefix, offset, size, index};
    }

    void reserve_pairs(std::size_t count) {
        while (pairs_capacity - pairs_used < count) {
            grow_array(pairs, pairs_capacity, FIRST_KEYS);
        }
    }

    void reserve_scratch(std::size_t count) {
        if (scratch_capacity - scratch_used < count) {
            if (count > SIZE_MAX / 2 - scratch_used) {
                throw GiveUp{};
            }
            std::size_t wanted = std::max(scratch_capacity, FIRST_SCRATCH);
            while (wanted - scratch_used < count) {
                wanted *= 2;
            }
            grow_to(scratch, scratch_capacity, wanted);
        }
    }

    template <typename T>
    static void grow_array(T *&array, std::size_t &capacity, std::size_t first) {
        if (capacity > SIZE_MAX / 2 / sizeof(T)) {
            throw GiveUp{};
        }
        grow_to(array, capacity, capacity == 0 ? first : capacity * 2);
    }

    /* A failed realloc leaves the block as it was (and still owned). */
    template <typename T>
    static void grow_to(T *&array, std::size_t &capacity, std::size_t wanted) {
        auto *grown = static_cast<T *>(realloc(array, wanted * sizeof(T)));
        if (grown == nullptr) {
            throw GiveUp{};
        }
        array = grown;
        capacity = wanted;
    }

    void enter_level() {
        if (Limited && ++depth > max_depth) {
            throw GiveUp{};
        }
    }
    void leave_level() {
        if (Limited) {
            --depth;
        }
    }

    void open(uint8_t major_type, uint8_t indefinite_head, Py_ssize_t count) {
        reserve(MAX_HEAD);
        if (Indefinite) {
            start[length++] = indefinite_head;
        } else {
            put_head(major_type, static_cast<uint64_t>(count));
        }
    }
    void close() {
        if (Indefinite) {
            put_byte(BREAK_ITEM);
        }
    }

    void put_byte(uint8_t byte) {
        reserve(1);
        start[length++] = byte;
    }

    /* The shortest head; room for MAX_HEAD bytes is reserved. */
    void put_head(uint8_t major_type, uint64_t argument) {
        length += cbor_head_encode(start + length, major_type, argument);
    }

    /*
     * The result: the block cut to its length, or, for a large block with
     * much unused room, a copy of exactly its length.  The C allocator maps
     * large blocks afresh and learns from the blocks freed which sizes to
     * keep in its heap instead; a block only ever shrunk before it is freed
     * teaches it a size smaller than the next call's block, so every call
     * would fault in fresh pages (about 1,900 faults and several ms for an
     * 8 MiB document, five times the copy).  Freeing the whole block lets
     * the next call's blocks come from the heap.
     */
    PyObject *finish() {
        if (block) {
            PyObject *result = PyBytes_FromStringAndSize(reinterpret_cast<char *>(start), length);
            block.reset();
            if (result == nullptr) {
                PyErr_Clear();
                throw GiveUp{};
            }
            return result;
        }
        if (capacity >= LARGE_BLOCK && capacity - length > capacity / LARGE_SLACK_FRACTION) {
            PyObject *copy = PyBytes_FromStringAndSize(reinterpret_cast<char *>(start), length);
            if (copy != nullptr) {
                Py_SETREF(output, copy);
                return std::exchange(output, nullptr);
            }
            PyErr_Clear(); /* no room for a copy: cutting the block needs none */
        }
        if (_PyBytes_Resize(&output, length) != 0) {
            PyErr_Clear();
            throw GiveUp{};
        }
        return std::exchange(output, nullptr);
    }

    void reserve(std::size_t count) {
        if (static_cast<std::size_t>(capacity - length) < count) {
            grow(count);
        }
    }

    /* At least doubles the block; _PyBytes_Resize keeps the bytes written
     * so far (a large block is usually moved by remapping, not copying). */
    void grow(std::size_t count) {
        constexpr auto largest = static_cast<std::size_t>(PY_SSIZE_T_MAX);
        const auto used = static_cast<std::size_t>(length);
        if (count > largest - used) {
            throw GiveUp{};
        }
        const std::size_t doubled = static_cast<std::size_t>(capacity) <= largest / 2
                                        ? static_cast<std::size_t>(capacity) * 2
                                        : largest;
        const auto wanted = static_cast<Py_ssize_t>(std::max(used + count, doubled));
        if (block) {
            grow_block(wanted);
            return;
        }
        if (_PyBytes_Resize(&output, wanted) != 0) {
            /* The object is gone; the walk gives up. */
            PyErr_Clear();
            throw GiveUp{};
        }
        capacity = wanted;
        start = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(output));
    }

    /* The kept block grows up to its limit; past it the bytes written move
     * into a bytes object, which grows from then on as one not begun in
     * the block does. */
    void grow_block(Py_ssize_t wanted) {
        if (static_cast<std::size_t>(wanted) <= tovarel::cbor::KEPT_BLOCK_LIMIT) {
            if (!block->grow(static_cast<std::size_t>(wanted))) {
                throw GiveUp{};
            }
            start = block->data();
            capacity = static_cast<Py_ssize_t>(block->capacity());
            return;
        }
        output = PyBytes_FromStringAndSize(nullptr, wanted);
        if (output == nullptr) {
            PyErr_Clear();
            throw GiveUp{};
        }
        auto *moved = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(output));
        memcpy(moved, start, static_cast<std::size_t>(length));
        block.reset();
        start = moved;
        capacity = wanted;
    }

    std::optional<tovarel::cbor::OutBlock> block; /* held while written in */
    PyObject *output = nullptr;
    uint8_t *start = nullptr;
    Py_ssize_t length = 0;
    Py_ssize_t capacity = 0;
    uint64_t depth = 0;
    uint64_t max_depth;
    std::size_t nesting_left;
    tovarel::cbor::KeyOrder order;
    /* Sorted only: the entries of every map being written, the keys of
     * every map (or set), a nested one's above its parent's, the area
     * holding their encodings, and the shapes remembered. */
    PyObject **pairs = nullptr;
    std::size_t pairs_used = 0;
    std::size_t pairs_capacity = 0;
    Shape shapes[SHAPE_WAYS << SHAPE_SET_BITS];
    uint64_t shape_uses = 0;
    tovarel::cbor::SortKey *keys = nullptr;
    std::size_t keys_used = 0;
    std::size_t keys_capacity = 0;
    uint8_t *scratch = nullptr;
    std::size_t scratch_used = 0;
    std::size_t scratch_capacity = 0;
};

/* Levels of the interpreter's recursion budget left unused: the general
 * encoder enters the recursion check once per container and once more for
 * comparing an integer that is not a cached small one, and near the limit
 * those checks fail (making it raise), so there the walk is left to it. */
constexpr int RECURSION_MARGIN = 8;

template <bool Indefinite, bool Limited, bool Sorted>
PyObject *encode_fast(PyObject *value, uint64_t max_depth, std::size_t max_nesting,
                      tovarel::cbor::KeyOrder order = tovarel::cbor::KeyOrder::none) {
    const int recursion_left = PyThreadState_Get()->recursion_remaining - RECURSION_MARGIN;
    if (recursion_left <= 0) {
        return nullptr;
    }
    max_nesting = std::min(max_nesting, static_cast<std::size_t>(recursion_left));
    FastEncoder<Indefinite, Limited, Sorted> encoder(max_depth, max_nesting, order);
    try {
        return encoder.run(value);
    } catch (const GiveUp &) {
        return nullptr;
    }
}

} // namespace

/* Not inlined: dumps and the Encoder then run the one same copy of the
 * walk (inlined into each, the two copies were laid out differently and
 * ran up to a third apart on lists of floats). */
[[gnu::noinline]] PyObject *tovarel_cbor_dumps_fast(PyObject *value, bool indefinite,
                                                    uint64_t max_depth, std::size_t max_nesting) {
    const bool limited = max_depth != 0;
    if (indefinite) {
        return limited ? encode_fast<true, true, false>(value, max_depth, max_nesting)
                       : encode_fast<true, false, false>(value, max_depth, max_nesting);
    }
    return limited ? encode_fast<false, true, false>(value, max_depth, max_nesting)
                   : encode_fast<false, false, false>(value, max_depth, max_nesting);
}

[[gnu::noinline]] PyObject *tovarel_cbor_dumps_fast_sorted(PyObject *value,
                                                           tovarel::cbor::KeyOrder order,
                                                           uint64_t max_depth,
                                                           std::size_t max_nesting) {
    return max_depth != 0 ? encode_fast<false, true, true>(value, max_depth, max_nesting, order)
                          : encode_fast<false, false, true>(value, max_depth, max_nesting, order);
}
