/*
 * fuzz_cbor_parser.cpp - walks arbitrary bytes with cbor_next_val and checks
 * every item against the reference reader: the bytes consumed, the decoded
 * argument, and above all that a string's length fits within the input and
 * its copy equals the input bytes it came from.
 *
 * The input lives in a heap block of exactly its size, so any read past the
 * end is an AddressSanitizer report.  After a refused item the walk resumes
 * from where the parser left its cursor, as a caller may, so the recovery
 * path is exercised as well.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cbor_parser.h"
#include "reference_cbor.h"

using reference::kind;

/* The parser reports unimplemented simple values on stderr; at millions of
 * runs that drowns the fuzzer's own output (which keeps its own stream). */
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (getenv("TOVAREL_FUZZ_VERBOSE") == nullptr) {
        FILE *sink = fopen("/dev/null", "w");
        if (sink != nullptr) {
            stderr = sink;
        }
    }
    return 0;
}

static bool same_bits(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b);
    }
    return memcmp(&a, &b, sizeof a) == 0;
}

/* Checks one accepted item against what the reference decoded. */
static void check_item(const cbor_val *got, const reference::item &want, const uint8_t *input,
                       size_t size, size_t position) {
    REFERENCE_CHECK(got->initial_byte == input[position], position);
    REFERENCE_CHECK(got->major_type == (input[position] >> 5), position);
    switch (want.what) {
    case kind::uint_item:
        REFERENCE_CHECK(got->value.uint == want.argument, position);
        break;
    case kind::negint:
        REFERENCE_CHECK(got->value.uint == ~want.argument, position);
        break;
    case kind::string: {
        size_t length = static_cast<size_t>(want.argument);
        REFERENCE_CHECK(got->length == want.argument, position);
        /* The copy's source must lie inside the input: no read past its end. */
        REFERENCE_CHECK(length < want.consumed && position + want.consumed <= size, position);
        if (length > 0) {
            REFERENCE_CHECK(got->value.bytes != nullptr, position);
            const uint8_t *source = input + position + want.consumed - length;
            REFERENCE_CHECK(memcmp(got->value.bytes, source, length) == 0, position);
        }
        if (got->major_type == 3 && got->value.bytes != nullptr) {
            REFERENCE_CHECK(got->value.bytes[length] == 0, position);
        }
        break;
    }
    case kind::indefinite:
        REFERENCE_CHECK(got->length == UINT64_MAX, position);
        REFERENCE_CHECK(got->value.bytes == nullptr, position);
        break;
    case kind::container:
        REFERENCE_CHECK(got->length == want.argument, position);
        break;
    case kind::float_item:
        REFERENCE_CHECK(same_bits(got->value.real, want.real), position);
        break;
    case kind::brk:
    case kind::other:
        REFERENCE_CHECK(got->length == 0, position);
        /* A sized tag head may keep its number; nothing else has a value. */
        REFERENCE_CHECK(got->major_type == 6 || got->value.uint == 0, position);
        break;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t *input = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    if (input == nullptr) {
        return 0;
    }
    if (size > 0) {
        memcpy(input, data, size);
    }
    cbor_parser *parser = cbor_parser_create(input, size);
    REFERENCE_CHECK(parser != nullptr, 0);

    size_t position = 0;
    int32_t expected_indefinite = 0;
    while (position < size) {
        reference::item want = reference::decode(input, size, position);
        cbor_val *got = cbor_next_val(parser);
        REFERENCE_CHECK((got != nullptr) == want.ok, position);
        size_t next = want.ok ? position + want.consumed : want.resume;
        if (got != nullptr) {
            check_item(got, want, input, size, position);
            if (want.what == kind::indefinite) {
                expected_indefinite = 1;
            } else if (want.what == kind::brk) {
                expected_indefinite = 0;
            }
            cbor_val_free(got);
        }
        REFERENCE_CHECK(parser->cursor == input + next, position);
        REFERENCE_CHECK(parser->in_indefinite == expected_indefinite, position);
        REFERENCE_CHECK(cbor_parser_available_bytes(parser) == static_cast<int32_t>(size - next),
                        position);
        position = next;
    }
    REFERENCE_CHECK(cbor_next_val(parser) == nullptr, position);
    cbor_parser_free(parser);
    free(input);
    return 0;
}
