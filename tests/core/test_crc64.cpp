/*
 * CRC-64/XZ: the catalogue's check value on every path, then every path
 * against a reference that shifts one bit at a time straight from the
 * definition, over generated lengths, alignments and split points (the
 * folding paths have separate code for every remainder of 16, 64 and 256
 * bytes, and for the start of a continued hash).
 */
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crc64.h"
#include "test_random.h"

namespace {

using bytes = std::vector<uint8_t>;

/* The definition: the message's bits, least significant first, divided by
 * the reflected polynomial in a register started at all ones; the
 * remainder inverted. */
uint64_t reference_crc(const uint8_t *data, size_t size) {
    const uint64_t reflected_polynomial = 0xC96C5795D7870F42ULL;
    uint64_t reg = ~0ULL;
    for (size_t i = 0; i < size; i++) {
        for (int bit = 0; bit < 8; bit++) {
            bool out = ((reg ^ (data[i] >> bit)) & 1) != 0;
            reg = out ? reg >> 1 ^ reflected_polynomial : reg >> 1;
        }
    }
    return ~reg;
}

/* The paths this processor runs. */
std::vector<int32_t> supported_paths() {
    std::vector<int32_t> paths;
    for (int32_t path = 0; path < CRC64_PATHS; path++) {
        if (crc64_path_supported(path)) {
            paths.push_back(path);
        }
    }
    return paths;
}

/* Puts the automatic choice back at the end of a test. */
struct auto_path {
    ~auto_path() { _crc64_force_path(CRC64_PATH_AUTO); }
};

TEST(Crc64, PublishedCheckValueOnEveryPath) {
    auto_path restore;
    const char *check = "123456789";
    for (int32_t path : supported_paths()) {
        ASSERT_TRUE(_crc64_force_path(path));
        EXPECT_EQ(crc64(check, 9), 0x995DC9BBDF1939FAULL) << path;
        EXPECT_EQ(crc64(nullptr, 0), 0u) << path;
        EXPECT_EQ(crc64_continue(0x1234, nullptr, 0), 0x1234u) << path;
    }
}

TEST(Crc64, EveryPathMatchesTheDefinitionAndContinues) {
    auto_path restore;
    generator g{0x9E3779B97F4A7C15ULL};
    bytes pool(8192 + 64);
    for (uint8_t &byte : pool) {
        byte = static_cast<uint8_t>(g.next());
    }
    /* Runs of one byte as well: a fold constant that is wrong only in its
     * higher powers may still survive random bytes that cancel. */
    bytes zeros(3000, 0);
    bytes ones(3000, 0xFF);
    const int cases = 3000;
    for (int c = 0; c < cases; c++) {
        const bytes &source = c % 10 == 0 ? zeros : c % 10 == 1 ? ones : pool;
        size_t size = g.below(c % 4 == 0 ? 3000 : 600);
        size_t offset = g.below(64);
        if (offset + size > source.size()) {
            offset = 0;
        }
        const uint8_t *data = source.data() + offset;
        uint64_t want = reference_crc(data, size);
        size_t cut = size == 0 ? 0 : g.below(size + 1);
        for (int32_t path : supported_paths()) {
            ASSERT_TRUE(_crc64_force_path(path));
            ASSERT_EQ(crc64(data, size), want) << "path " << path << ", size " << size;
            ASSERT_EQ(crc64_continue(crc64(data, cut), data + cut, size - cut), want)
                << "path " << path << ", size " << size << ", cut at " << cut;
        }
    }
}

TEST(Crc64, PathsAreChosenFromWhatTheProcessorRuns) {
    auto_path restore;
    EXPECT_TRUE(crc64_path_supported(CRC64_PATH_TABLE));
    EXPECT_FALSE(crc64_path_supported(CRC64_PATHS));
    EXPECT_FALSE(crc64_path_supported(-2));
    int32_t best = crc64_path();
    EXPECT_TRUE(crc64_path_supported(best));
    for (int32_t path = best + 1; path < CRC64_PATHS; path++) {
        EXPECT_FALSE(_crc64_force_path(path));
        EXPECT_EQ(crc64_path(), best);
    }
    ASSERT_TRUE(_crc64_force_path(CRC64_PATH_TABLE));
    EXPECT_EQ(crc64_path(), CRC64_PATH_TABLE);
    ASSERT_TRUE(_crc64_force_path(CRC64_PATH_AUTO));
    EXPECT_EQ(crc64_path(), best);
}

} // namespace
