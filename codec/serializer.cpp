/* codec/serializer.cpp: rows of items -> one VORL string */
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "format.h"
#include "globals.h"
#include "py_ref.h"
#include "unicode_util.h"
#include "vorl_codec.h"

namespace vorl {

namespace {

// ---- general path: the reference behaviour, for any iterables and any items -----------

// Walks one iterable: exact lists and tuples by position, re-reading the length at every
// step (so a walk sees the object's changes from its next step on), anything else
// through the iterator protocol.
class Walk {
public:
    explicit Walk(PyObject *seq) noexcept  // `seq` is borrowed: the caller holds it
        : seq_(seq), positional_(PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {}

    bool start() noexcept {
        if (positional_) return true;
        iter_ = steal(PyObject_GetIter(seq_));
        return static_cast<bool>(iter_);
    }

    // 1: the next element is in `element`; 0: the walk is over; -1: failure.
    int next(Ref &element) noexcept {
        if (positional_) {
            if (index_ >= Py_SIZE(seq_)) return 0;
            element = borrow(PySequence_Fast_ITEMS(seq_)[index_++]);
            return 1;
        }
        PyObject *obj = Py_TYPE(iter_.get())->tp_iternext(iter_.get());
        if (obj != nullptr) {
            element = steal(obj);
            return 1;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return -1;
            PyErr_Clear();
        }
        return 0;
    }

private:
    PyObject *seq_;
    bool positional_;
    Ref iter_;
    Py_ssize_t index_ = 0;
};

// `HEX`[index] with the host's own subscription: its result and its exceptions.
PyObject *hex_piece(PyObject *hex, Py_ssize_t index) noexcept {
    Ref key = steal(PyLong_FromSsize_t(index));
    if (!key) return nullptr;
    return PyObject_GetItem(hex, key.get());
}

// Appends the H piece, the length text and the text of one item to `pieces`.
int append_item(PyObject *pieces, PyObject *item) noexcept {
    // Strings, subclass instances included, are written as they are: no __str__ call.
    Ref text = PyUnicode_Check(item) ? borrow(item) : steal(PyObject_Str(item));
    if (!text) return -1;
    Py_ssize_t u16_len = format::utf16_length(text.get());
    int digits = format::decimal_digits(u16_len);
    Ref l_str = steal(PyUnicode_New(digits, 127));
    if (!l_str) return -1;
    format::write_decimal(PyUnicode_1BYTE_DATA(l_str.get()), u16_len, digits);
    // Looked up after the text is formed, so a rebinding by this item's __str__ counts.
    Ref hex = steal(lookup_global(codec_globals().name_hex));
    if (!hex) return -1;
    Ref h_piece = steal(hex_piece(hex.get(), digits - 1));
    if (!h_piece) return -1;
    if (PyList_Append(pieces, h_piece.get()) < 0) return -1;
    if (PyList_Append(pieces, l_str.get()) < 0) return -1;
    return PyList_Append(pieces, text.get());
}

PyObject *serialize_general(PyObject *lists) noexcept {
    const CodecGlobals &g = codec_globals();
    Ref pieces = steal(PyList_New(0));
    if (!pieces) return nullptr;
    Walk rows(lists);
    if (!rows.start()) return nullptr;
    Ref row;
    for (;;) {
        int got_row = rows.next(row);
        if (got_row < 0) return nullptr;
        if (got_row == 0) break;
        Walk items(row.get());
        if (!items.start()) return nullptr;
        Ref item;
        for (;;) {
            int got_item = items.next(item);
            if (got_item < 0) return nullptr;
            if (got_item == 0) break;
            if (append_item(pieces.get(), item.get()) < 0) return nullptr;
        }
        if (PyList_Append(pieces.get(), g.row_terminator) < 0) return nullptr;
    }
    // A non-string H piece (a rebound HEX) fails here, after every row was walked.
    return PyUnicode_Join(g.empty, pieces.get());
}

// ---- fast path: exact lists/tuples of exact str, written straight into the result -----
//
// No host code can run while such input is walked and HEX is read (the module dictionary
// holds only exact str keys, so its lookup compares nothing user-defined). Nothing can
// change in between, so HEX is read once per call, the input is measured in one pass
// and written in a second, with the same result as the general path. Anything else makes
// the fast path step aside before it has done anything visible.

struct HexChars {
    Py_UCS4 ch[format::max_length_digits];
    Py_ssize_t len;
};

// Reads HEX when doing so runs no host code and it is an exact str.
bool read_hex_quietly(HexChars &hex) noexcept {
    const CodecGlobals &g = codec_globals();
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(g.module_dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    value = _PyDict_GetItem_KnownHash(g.module_dict, g.name_hex, PyObject_Hash(g.name_hex));
    if (value == nullptr || !PyUnicode_CheckExact(value)) return false;  // general path decides
    hex.len = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(value), format::max_length_digits);
    for (Py_ssize_t k = 0; k < hex.len; ++k) hex.ch[k] = PyUnicode_READ_CHAR(value, k);
    return true;
}

inline bool is_exact_sequence(PyObject *obj) noexcept {
    return PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
}

// Storage class of a string: 1 ASCII, 2 Latin-1, 4 UCS-2, 8 UCS-4. The widest class
// of the pieces decides the result's width, as it does for a join.
inline unsigned storage_class(PyObject *str) noexcept {
    return 2 * PyUnicode_KIND(str) - (PyUnicode_IS_ASCII(str) ? 1 : 0);
}

inline Py_UCS4 class_maxchar(unsigned cls) noexcept {
    switch (cls) {
    case 1: return 0x7F;
    case 2: return 0xFF;
    case 4: return 0xFFFF;
    default: return 0x10FFFF;
    }
}

// UTF-16 length of an exact str, `n` its code-point count.
inline Py_ssize_t exact_utf16_length(PyObject *str, Py_ssize_t n) noexcept {
    if (PyUnicode_KIND(str) != PyUnicode_4BYTE_KIND) [[likely]] return n;
    return n + format::count_astral(PyUnicode_4BYTE_DATA(str), n);
}

// Characters of the length field of an exact str of `n` code points. Its UTF-16 length
// lies between n and 2n, so the code points are counted only when those two bounds have
// digit counts that differ (n from 5 to 9, 50 to 99, ...).
inline int length_field_digits(PyObject *str, Py_ssize_t n) noexcept {
    const int digits = format::decimal_digits(n);
    if (PyUnicode_KIND(str) != PyUnicode_4BYTE_KIND) [[likely]] return digits;
    if (format::decimal_digits(2 * n) == digits) return digits;
    return format::decimal_digits(n + format::count_astral(PyUnicode_4BYTE_DATA(str), n));
}

// Copies n code points and returns how many of them lie above U+FFFF.
inline Py_ssize_t copy_counting_astral(Py_UCS4 *dst, const Py_UCS4 *src, Py_ssize_t n) noexcept {
    uint64_t hits = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Py_UCS4 c = src[k];
        dst[k] = c;
        hits += static_cast<uint64_t>(c > 0xFFFF);
    }
    return static_cast<Py_ssize_t>(hits);
}

struct Measure {
    Py_ssize_t total = 0;  // code points of the result
    Py_UCS4 maxchar = 127;
    HexChars hex{};
};

// First pass: result length and widest character; false when the input needs the
// general path.
bool measure(PyObject *lists, Measure &m) noexcept {
    if (!is_exact_sequence(lists)) return false;
    // The running total stays below this bound, so adding one item (below 2^62 code
    // points) cannot wrap the unsigned sum.
    constexpr uint64_t limit = PY_SSIZE_T_MAX / 2;
    uint64_t total = 0;
    unsigned max_class = 1;
    unsigned used_digits = 0;  // bit d: some length field has d characters
    bool hex_read = false;
    PyObject **rows = PySequence_Fast_ITEMS(lists);
    const Py_ssize_t row_count = Py_SIZE(lists);
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyObject *row = rows[r];
        if (!is_exact_sequence(row)) return false;
        PyObject **items = PySequence_Fast_ITEMS(row);
        const Py_ssize_t item_count = Py_SIZE(row);
        if (item_count > 0 && !hex_read) {
            if (!read_hex_quietly(m.hex)) return false;
            hex_read = true;
        }
        for (Py_ssize_t k = 0; k < item_count; ++k) {
            PyObject *item = items[k];
            if (!PyUnicode_CheckExact(item)) return false;
            const Py_ssize_t n = PyUnicode_GET_LENGTH(item);
            const int digits = length_field_digits(item, n);
            used_digits |= 1u << digits;
            max_class = std::max(max_class, storage_class(item));
            total += static_cast<uint64_t>(1 + digits + n);
            if (total > limit) return false;
        }
        total += 1;
    }
    if (used_digits != 0) {
        // A length field longer than HEX: the general path raises the IndexError.
        if ((used_digits >> (m.hex.len + 1)) != 0) return false;
        for (int d = 1; d <= m.hex.len; ++d) {
            if (used_digits & (1u << d)) m.maxchar = std::max(m.maxchar, m.hex.ch[d - 1]);
        }
    }
    m.maxchar = std::max(m.maxchar, class_maxchar(max_class));
    m.total = static_cast<Py_ssize_t>(total);
    return true;
}

// Second pass: writes the result. Returns false if the input no longer matches the
// measurement (it cannot change in between; checked so that no write can overrun).
template <typename Out>
bool write_all(PyObject *lists, const Measure &m, Out *dst) noexcept {
    Py_ssize_t pos = 0;
    const Py_ssize_t total = m.total;
    PyObject **rows = PySequence_Fast_ITEMS(lists);
    const Py_ssize_t row_count = Py_SIZE(lists);
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyObject *row = rows[r];
        PyObject **items = PySequence_Fast_ITEMS(row);
        const Py_ssize_t item_count = Py_SIZE(row);
        for (Py_ssize_t k = 0; k < item_count; ++k) {
            PyObject *item = items[k];
            const Py_ssize_t n = PyUnicode_GET_LENGTH(item);
            if constexpr (sizeof(Out) == 4) {
                if (PyUnicode_KIND(item) == PyUnicode_4BYTE_KIND) {
                    // The payload is copied first, counting its astral code points on the
                    // way, and the length field written after it: one read of the item.
                    const int digits = length_field_digits(item, n);
                    if (total - pos < 2 + digits + n) [[unlikely]] return false;
                    const Py_ssize_t u16_len = n + copy_counting_astral(dst + pos + 1 + digits, PyUnicode_4BYTE_DATA(item), n);
                    dst[pos] = static_cast<Out>(m.hex.ch[digits - 1]);
                    format::write_decimal(dst + pos + 1, u16_len, digits);
                    pos += 1 + digits + n;
                    continue;
                }
            }
            // Only a UCS-4 result can hold UCS-4 items; a UCS-1 result holds only UCS-1 ones.
            const Py_ssize_t u16_len = sizeof(Out) == 4 ? exact_utf16_length(item, n) : n;
            const int digits = format::decimal_digits(u16_len);
            if (total - pos < 2 + digits + n) [[unlikely]] return false;
            dst[pos] = static_cast<Out>(m.hex.ch[digits - 1]);
            // The slot after a one-digit length field holds the payload or, for an empty
            // one, what follows it; the size check above leaves room for it.
            format::write_decimal_over(dst + pos + 1, u16_len, digits);
            pos += 1 + digits;
            if constexpr (sizeof(Out) == 1) {
                copy_bytes(dst + pos, PyUnicode_DATA(item), static_cast<size_t>(n));
            } else {
                copy_chars(dst + pos, item, n);
            }
            pos += n;
        }
        if (pos >= total) [[unlikely]] return false;
        dst[pos++] = static_cast<Out>(format::row_terminator);
    }
    return pos == total;
}

// 1: done (result or exception); 0: the general path must serialize.
int serialize_fast(PyObject *lists, PyObject **result) noexcept {
    Measure m;
    if (!measure(lists, m)) return 0;
    if (m.total == 0) {
        *result = Py_NewRef(codec_globals().empty);
        return 1;
    }
    Ref out = steal(PyUnicode_New(m.total, m.maxchar));
    if (!out) {
        *result = nullptr;
        return 1;
    }
    bool written = false;
    switch (PyUnicode_KIND(out.get())) {
    case PyUnicode_1BYTE_KIND: written = write_all(lists, m, PyUnicode_1BYTE_DATA(out.get())); break;
    case PyUnicode_2BYTE_KIND: written = write_all(lists, m, PyUnicode_2BYTE_DATA(out.get())); break;
    default: written = write_all(lists, m, PyUnicode_4BYTE_DATA(out.get())); break;
    }
    if (!written) return 0;
    check_new_string(out.get());
    *result = out.release();
    return 1;
}

}  // namespace

PyObject *serialize(PyObject *lists) noexcept {
    if (!force_generic()) {
        PyObject *result;
        if (serialize_fast(lists, &result)) return result;
    }
    return serialize_general(lists);
}

}  // namespace vorl
