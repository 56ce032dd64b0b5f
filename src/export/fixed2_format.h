#pragma once
// Number formatting for the point-cloud text files, byte for byte what printf gives for "%.2f" of a
// float and "%d" of a truncated colour value, without printf's cost.

#include <cstddef>

namespace tavi {

// The longest "%.2f" of any float: sign, 39 integer digits, point, two decimals.
inline constexpr size_t kMaxFixed2Chars = 44;
inline constexpr size_t kMaxColourChars = 11;

// Writes printf("%.2f", value) at `out` (no terminator) and returns the end. The value is rounded
// exactly, halfway cases to even, as glibc's printf does; a negative sign is kept for negative zero
// and for negative values that round to zero ("-0.00"). Infinities, NaNs and values of 2^56 and more
// go through snprintf itself.
char* AppendFixed2(char* out, float value);

// Writes printf("%d", int(value)) for a value truncated toward zero; a value that is not a finite
// 32-bit integer after truncation writes 0.
char* AppendTruncatedInt(char* out, float value);

}  // namespace tavi
