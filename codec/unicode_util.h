/* codec/unicode_util.h: copying code units between storage widths, and string checks */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#ifdef VORL_CHECK_CONSISTENCY
// Exported by the interpreter; checks a string's flags, width and contents.
extern "C" int _PyUnicode_CheckConsistency(PyObject *op, int check_content);
#endif

namespace vorl {

// Copies the `n` code points of `src` into `dst`, widening where `Out` is wider than the
// source's storage. `Out` is never narrower: the caller sized the result for the widest
// character.
// Copies `n` bytes. Up to 16 bytes take two overlapping fixed-size moves each, which
// compile to plain loads and stores instead of a call.
inline void copy_bytes(void *dst, const void *src, size_t n) noexcept {
    auto *d = static_cast<unsigned char *>(dst);
    const auto *s = static_cast<const unsigned char *>(src);
    if (n > 16) {
        std::memcpy(d, s, n);
    } else if (n >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, s, 8);
        std::memcpy(&tail, s + n - 8, 8);
        std::memcpy(d, &head, 8);
        std::memcpy(d + n - 8, &tail, 8);
    } else if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, s, 4);
        std::memcpy(&tail, s + n - 4, 4);
        std::memcpy(d, &head, 4);
        std::memcpy(d + n - 4, &tail, 4);
    } else if (n > 0) {
        // 1 to 3 bytes: first, middle and last (some of them the same byte).
        const unsigned char first = s[0], middle = s[n >> 1], last = s[n - 1];
        d[0] = first;
        d[n >> 1] = middle;
        d[n - 1] = last;
    }
}

template <typename Out>
inline void copy_chars(Out *dst, PyObject *src, Py_ssize_t n) noexcept {
    const void *data = PyUnicode_DATA(src);
    const int kind = PyUnicode_KIND(src);
    if (kind == static_cast<int>(sizeof(Out))) {
        copy_bytes(dst, data, static_cast<size_t>(n) * sizeof(Out));
    } else if (kind == PyUnicode_1BYTE_KIND) {
        const auto *s = static_cast<const Py_UCS1 *>(data);
        for (Py_ssize_t i = 0; i < n; ++i) dst[i] = s[i];
    } else {
        const auto *s = static_cast<const Py_UCS2 *>(data);
        for (Py_ssize_t i = 0; i < n; ++i) dst[i] = static_cast<Out>(s[i]);
    }
}

// Debug builds check every string the codec makes by hand.
inline void check_new_string([[maybe_unused]] PyObject *str) noexcept {
#ifdef VORL_CHECK_CONSISTENCY
    if (!_PyUnicode_CheckConsistency(str, 1)) Py_FatalError("vorl: inconsistent string");
#endif
}

}  // namespace vorl
