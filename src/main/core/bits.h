/*
 * bits.h - integer bit utilities: leading zeroes, bit length, rounding up
 * to a power of two and a power-of-two cube root estimate.  Used to size the
 * activity history's power-of-two tables and the bail-out budget suggestion.
 */
#ifndef TOVAREL_BITS_H
#define TOVAREL_BITS_H

#include <stdint.h>

#include "export.h"

TOVAREL_BEGIN_DECLS

TOVAREL_API int32_t number_of_leading_zeroes_long(uint64_t value);
TOVAREL_API int32_t number_of_leading_zeroes_int(int32_t value);
TOVAREL_API int32_t highest_bit_long(uint64_t value);
TOVAREL_API int32_t highest_bit_int(int32_t value);
TOVAREL_API int32_t find_next_power_of_two_int(int32_t value);
TOVAREL_API uint64_t find_next_power_of_two_long(uint64_t value);
TOVAREL_API int32_t approx_cube_root(uint64_t value);

TOVAREL_END_DECLS

#endif /* TOVAREL_BITS_H */
