/*
 * crc64.h - the 64-bit hash of values: CRC-64/XZ.
 *
 * The polynomial is ECMA-182's, x^64 + x^62 + x^57 + x^55 + x^54 + x^53 +
 * x^52 + x^47 + x^46 + x^45 + x^40 + x^39 + x^38 + x^37 + x^35 + x^33 +
 * x^32 + x^31 + x^29 + x^27 + x^24 + x^23 + x^22 + x^21 + x^19 + x^17 +
 * x^13 + x^12 + x^10 + x^9 + x^7 + x^4 + x + 1 (0x42F0E1EBA9EA3693), bits
 * taken least significant first, register started at and finally xored
 * with all ones: the CRC that xz files carry.  The nine bytes "123456789"
 * hash to 0x995DC9BBDF1939FA.
 *
 * A CRC detects accidents, not attackers: every error confined to 64
 * consecutive bits is caught, other damage escapes with a chance of one in
 * 2^64, and anyone can build two values with the same CRC on purpose.
 *
 * Three paths compute it: a table lookup per byte, which runs everywhere
 * and is the reference, and two carry-less multiplication paths, 128 and
 * 512 bits wide, chosen once at run time from what the processor offers.
 * All give the same value for every input.
 */
#ifndef TOVAREL_CRC64_H
#define TOVAREL_CRC64_H

#include <stdbool.h>
#include <stdint.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

/* Paths, from the plain one up.  AUTO picks the fastest available. */
#define CRC64_PATH_AUTO (-1)
#define CRC64_PATH_TABLE 0 /* one table lookup per byte */
#define CRC64_PATH_CLMUL 1 /* 128-bit carry-less multiplications, 64 bytes a step */
#define CRC64_PATH_WIDE 2  /* four of them per AVX-512 instruction, 256 bytes a step */
#define CRC64_PATHS 3

/* The CRC of `count` bytes from `bytes` (which may be null when count is 0). */
TOVAREL_API uint64_t crc64(const void *bytes, uint64_t count);
/*
 * The CRC of earlier bytes followed by these, given `crc`, the CRC of the
 * earlier bytes (0 for none): a value may be hashed in pieces, and
 * crc64_continue(crc64(a), b) is crc64 of a followed by b.
 */
TOVAREL_API uint64_t crc64_continue(uint64_t crc, const void *bytes, uint64_t count);

/* True when this processor can run `path`. */
TOVAREL_API bool crc64_path_supported(int32_t path);
/* The path crc64() takes now. */
TOVAREL_API int32_t crc64_path(void);
/*
 * Test and benchmark hook: makes later calls take `path` (or the automatic
 * choice again for CRC64_PATH_AUTO).  False, and nothing changed, for a path
 * this processor cannot run.  Not for use while other threads hash.
 */
TOVAREL_API bool _crc64_force_path(int32_t path);

TOVAREL_END_DECLS

#endif /* TOVAREL_CRC64_H */
