/* codec/format.h: the VORL text format's alphabet, digit rules and UTF-16 counting */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vorl::format {

inline constexpr Py_UCS4 row_terminator = ';';
inline constexpr const char *hex_alphabet = "0123456789abcdef";
inline constexpr const char *end_of_input_message = "Unexpected end of input";

// Longest decimal text of a non-negative Py_ssize_t.
inline constexpr int max_length_digits = 19;

// H digit -> number of length characters (1 to 16), or -1 when `ch` is no H digit.
// Clearing bit 0x20 folds exactly 'a'-'f' onto 'A'-'F'; every other code point,
// including everything above U+00FF, stays outside 0x41-0x46.
inline Py_ssize_t decode_h_digit(Py_UCS4 ch) noexcept {
    if (ch <= 0x2F) return -1;
    if (ch <= 0x39) return static_cast<Py_ssize_t>(ch) - 0x2F;
    Py_UCS4 folded = ch & ~static_cast<Py_UCS4>(0x20);
    if (folded >= 0x41 && folded <= 0x46) return static_cast<Py_ssize_t>(folded) - 0x36;
    return -1;
}

// Value of a length character, or a value above 9 when it is no ASCII digit.
inline Py_UCS4 digit_value(Py_UCS4 c) noexcept { return c - 0x30; }

// Number of characters in the decimal text of `value` (value >= 0).
inline int decimal_digits(Py_ssize_t value) noexcept {
    auto v = static_cast<uint64_t>(value);
    // Short items dominate: one well-predicted compare each.
    if (v < 10) return 1;
    if (v < 100) return 2;
    int digits = 1;
    while (v >= 10000) { v /= 10000; digits += 4; }
    if (v >= 10) ++digits;
    if (v >= 100) ++digits;
    if (v >= 1000) ++digits;
    return digits;
}

// Writes the decimal text of `value` into dst[0 .. digits) (digits from decimal_digits).
template <typename Unit>
inline void write_decimal(Unit *dst, Py_ssize_t value, int digits) noexcept {
    auto v = static_cast<uint64_t>(value);
    if (digits == 1) {
        dst[0] = static_cast<Unit>('0' + v);
        return;
    }
    for (int k = digits - 1; k >= 0; --k) {
        dst[k] = static_cast<Unit>('0' + v % 10);
        v /= 10;
    }
}

// Number of code points above U+FFFF: each adds a second UTF-16 unit. Four code points
// a step (the compiler turns the step into vector compares); strings of at most four
// code points are tested one at a time.
inline Py_ssize_t count_astral(const Py_UCS4 *data, Py_ssize_t n) noexcept {
    int64_t hits = 0;
    Py_ssize_t i = 0;
    if (n > 4) {
        for (; i + 4 <= n; i += 4) {
            hits += static_cast<int64_t>(data[i] > 0xFFFF) + static_cast<int64_t>(data[i + 1] > 0xFFFF) +
                    static_cast<int64_t>(data[i + 2] > 0xFFFF) + static_cast<int64_t>(data[i + 3] > 0xFFFF);
        }
    }
    for (; i < n; ++i) hits += static_cast<int64_t>(data[i] > 0xFFFF);
    return static_cast<Py_ssize_t>(hits);
}

// UTF-16 length of a string (any storage, subclass instances included).
inline Py_ssize_t utf16_length(PyObject *str) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    if (PyUnicode_KIND(str) != PyUnicode_4BYTE_KIND) return n;
    return n + count_astral(static_cast<const Py_UCS4 *>(PyUnicode_DATA(str)), n);
}

}  // namespace vorl::format
