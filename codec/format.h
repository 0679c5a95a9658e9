/* codec/format.h: the VORL text format's alphabet, digit rules and UTF-16 counting */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

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
    // Short items dominate: one well-predicted compare, then no branch on the count.
    if (v < 100) [[likely]] return 1 + static_cast<int>(v > 9);
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
    for (int k = digits - 1; k >= 0; --k) {
        dst[k] = static_cast<Unit>('0' + v % 10);
        v /= 10;
    }
}

// write_decimal without a branch on the count for values below 100, at the price of
// writing dst[1] also for a one-digit value: the caller must own that slot and write it
// again afterwards.
template <typename Unit>
inline void write_decimal_over(Unit *dst, Py_ssize_t value, int digits) noexcept {
    auto v = static_cast<uint64_t>(value);
    if (v < 100) [[likely]] {
        const uint64_t tens = v / 10, ones = v - tens * 10;
        dst[0] = static_cast<Unit>('0' + (digits == 1 ? ones : tens));
        dst[1] = static_cast<Unit>('0' + ones);
        return;
    }
    write_decimal(dst, value, digits);
}

// Number of code points above U+FFFF: each adds a second UTF-16 unit. Four code points
// a step, compared as one vector, the last step overlapping the one before it with the
// lanes already counted masked off; strings of at most four code points are tested one
// at a time.
inline Py_ssize_t count_astral(const Py_UCS4 *data, Py_ssize_t n) noexcept {
    using units4 = uint32_t __attribute__((vector_size(16)));
    if (n <= 4) {
        Py_ssize_t hits = 0;
        for (Py_ssize_t i = 0; i < n; ++i) hits += static_cast<Py_ssize_t>(data[i] > 0xFFFF);
        return hits;
    }
    const auto lane_sum = [](units4 lanes) noexcept {
        uint64_t pairs[2];
        std::memcpy(pairs, &lanes, sizeof pairs);
        const uint64_t sum = pairs[0] + pairs[1];  // two lanes each, no carry across
        return (sum & 0xFFFFFFFF) + (sum >> 32);
    };
    constexpr Py_ssize_t lane_budget = Py_ssize_t{1} << 28;  // steps before a lane could overflow
    uint64_t hits = 0;
    units4 lanes = {0, 0, 0, 0};
    Py_ssize_t budget = lane_budget;
    Py_ssize_t i = 0;
    for (; n - i > 4; i += 4) {
        units4 v;
        std::memcpy(&v, data + i, sizeof v);
        lanes += (v > 0xFFFF) & 1;
        if (--budget == 0) [[unlikely]] {
            hits += lane_sum(lanes);
            lanes = units4{0, 0, 0, 0};
            budget = lane_budget;
        }
    }
    // One to four code points remain: the last four, of which the first 4 - (n - i) are
    // already counted.
    const units4 lane_index = {0, 1, 2, 3};
    const auto skip = static_cast<uint32_t>(4 - (n - i));
    units4 v;
    std::memcpy(&v, data + n - 4, sizeof v);
    lanes += (v > 0xFFFF) & (lane_index >= skip) & 1;
    return static_cast<Py_ssize_t>(hits + lane_sum(lanes));
}

// UTF-16 length of a string (any storage, subclass instances included).
inline Py_ssize_t utf16_length(PyObject *str) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    if (PyUnicode_KIND(str) != PyUnicode_4BYTE_KIND) return n;
    return n + count_astral(static_cast<const Py_UCS4 *>(PyUnicode_DATA(str)), n);
}

}  // namespace vorl::format
