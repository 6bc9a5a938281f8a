/*
 * reference_crc64.h - CRC-64/XZ one bit at a time, straight from its
 * definition, for the harnesses that check the core's table and folding
 * paths and the checks of deltas.
 */
#ifndef TOVAREL_FUZZ_REFERENCE_CRC64_H
#define TOVAREL_FUZZ_REFERENCE_CRC64_H

#include <cstddef>
#include <cstdint>

namespace reference {

/* The message's bits, least significant first, through a register started
 * at all ones against the reflected ECMA-182 polynomial; then inverted. */
inline uint64_t crc64(const uint8_t *data, size_t size) {
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

} // namespace reference

#endif /* TOVAREL_FUZZ_REFERENCE_CRC64_H */
