/* codec/parser.cpp: one VORL string -> a list of rows of str */
#include <cstring>

#include "format.h"
#include "globals.h"
#include "list_append.h"
#include "parse_error.h"
#include "py_ref.h"
#include "unicode_util.h"
#include "vorl_codec.h"

namespace vorl {

namespace {

// ---- rows ------------------------------------------------------------------------------

// capacity_after[k]: the storage a list has after k appends to an empty list, read off
// the host's own lists once, so a row built in one step is indistinguishable from one
// built by appends (sys.getsizeof included). 0 in [1]: not known, rows are appended.
constexpr Py_ssize_t known_capacities = 64;
Py_ssize_t capacity_after[known_capacities + 1];

void learn_capacities() noexcept {
    Ref probe = steal(PyList_New(0));
    if (!probe) {
        PyErr_Clear();
        return;
    }
    Py_ssize_t table[known_capacities + 1] = {0};
    for (Py_ssize_t k = 1; k <= known_capacities; ++k) {
        if (PyList_Append(probe.get(), Py_None) < 0) {
            PyErr_Clear();
            return;
        }
        table[k] = reinterpret_cast<PyListObject *>(probe.get())->allocated;
    }
    std::memcpy(capacity_after, table, sizeof table);
}

}  // namespace

bool RowBuffer::grow() noexcept {
    const Py_ssize_t capacity = capacity_ * 2;
    PyObject **items;
    if (items_ == inline_) {
        items = PyMem_New(PyObject *, capacity);
        if (items != nullptr) std::memcpy(items, inline_, sizeof inline_);
    } else {
        items = items_;
        PyMem_Resize(items, PyObject *, capacity);
    }
    if (items == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    items_ = items;
    capacity_ = capacity;
    return true;
}

PyObject *RowBuffer::take_list(bool reference_growth) noexcept {
    Ref list = steal(PyList_New(0));
    if (!list) return nullptr;
    const Py_ssize_t n = count_;
    if (n == 0) return list.release();
#ifndef Py_GIL_DISABLED
    // The host keeps a list's items in storage from PyMem_Malloc (PyMem_Free on release).
    if (!reference_growth && n <= known_capacities && capacity_after[1] != 0) {
        const Py_ssize_t capacity = capacity_after[n];
        PyObject **storage = PyMem_New(PyObject *, capacity);
        if (storage == nullptr) return PyErr_NoMemory();
        std::memcpy(storage, items_, static_cast<size_t>(n) * sizeof(PyObject *));
        auto *l = reinterpret_cast<PyListObject *>(list.get());
        l->ob_item = storage;
        l->allocated = capacity;
        Py_SET_SIZE(l, n);
        count_ = 0;
        return list.release();
    }
#endif
    (void)reference_growth;
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (PyList_Append(list.get(), items_[k]) < 0) return nullptr;
    }
    clear();
    return list.release();
}

namespace {

// The result list and the items of the row being read. A row enters `out` at its
// terminator.
struct ParseState {
    PyObject *text;
    Py_ssize_t length;
    bool generic;  // the reference paths: PyUnicode_Substring and rows grown by appends
    Ref out;
    RowBuffer row;
};

// ---- payloads ----------------------------------------------------------------------------
//
// Each yields exactly what PyUnicode_Substring gives: the shared empty string, the host's
// one-character string, otherwise a new string of the narrowest width that holds its
// widest character. The OR of the code units stands in for their maximum: the width
// limits 0x80, 0x100 and 0x10000 are powers of two, so both fall on the same side.

inline Py_UCS4 width_maxchar(Py_UCS4 ored) noexcept {
    if (ored < 0x80) return 0x7F;
    if (ored < 0x100) return 0xFF;
    if (ored < 0x10000) return 0xFFFF;
    return 0x10FFFF;
}

template <typename Unit>
inline Py_UCS4 or_units(const Unit *src, Py_ssize_t n) noexcept {
    Py_UCS4 ored = 0;
    for (Py_ssize_t k = 0; k < n; ++k) ored |= src[k];
    return ored;
}

template <typename Unit>
inline void narrow_copy(void *dst, int kind, const Unit *src, Py_ssize_t n) noexcept {
    if (kind == static_cast<int>(sizeof(Unit))) {
        copy_bytes(dst, src, static_cast<size_t>(n) * sizeof(Unit));
    } else if (kind == PyUnicode_1BYTE_KIND) {
        auto *d = static_cast<Py_UCS1 *>(dst);
        for (Py_ssize_t k = 0; k < n; ++k) d[k] = static_cast<Py_UCS1>(src[k]);
    } else {
        auto *d = static_cast<Py_UCS2 *>(dst);
        for (Py_ssize_t k = 0; k < n; ++k) d[k] = static_cast<Py_UCS2>(src[k]);
    }
}

// src[0 .. n) as a str; `ored` is the OR of its units.
template <typename Unit>
PyObject *make_payload(const Unit *src, Py_ssize_t n, Py_UCS4 ored) noexcept {
    if (n <= 1) {
        if (n == 0) return Py_NewRef(codec_globals().empty);
        return PyUnicode_FromOrdinal(src[0]);
    }
    PyObject *item = PyUnicode_New(n, width_maxchar(ored));
    if (item == nullptr) return nullptr;
    narrow_copy(PyUnicode_DATA(item), PyUnicode_KIND(item), src, n);
    check_new_string(item);
    return item;
}

// src[0 .. n) of an ASCII text: the width is known, no scan and no dispatch.
inline PyObject *make_ascii_payload(const Py_UCS1 *src, Py_ssize_t n) noexcept {
    if (n <= 1) {
        if (n == 0) return Py_NewRef(codec_globals().empty);
        return PyUnicode_FromOrdinal(src[0]);
    }
    PyObject *item = PyUnicode_New(n, 0x7F);
    if (item == nullptr) return nullptr;
    copy_bytes(PyUnicode_1BYTE_DATA(item), src, static_cast<size_t>(n));
    check_new_string(item);
    return item;
}

// Appends the payload [start, end) to the current row; `ored` as for make_payload.
template <bool ascii_text = false, typename Unit>
inline bool take_item(ParseState &st, const Unit *data, Py_ssize_t start, Py_ssize_t end, Py_UCS4 ored) noexcept {
    PyObject *item;
    if (st.generic) {
        item = PyUnicode_Substring(st.text, start, end);
    } else if constexpr (ascii_text) {
        item = make_ascii_payload(data + start, end - start);
    } else {
        item = make_payload(data + start, end - start, ored);
    }
    if (item == nullptr) return false;
    return st.row.push(item);
}

// The payload's units OR-ed; ASCII texts need no scan.
template <typename Unit>
inline Py_UCS4 payload_or(const ParseState &st, const Unit *data, Py_ssize_t start, Py_ssize_t end,
                          bool ascii_text) noexcept {
    if (ascii_text || st.generic) return 0;
    return or_units(data + start, end - start);
}

// Appends the current row to `out`.
inline bool close_row(ParseState &st) noexcept {
    PyObject *row = st.row.take_list(st.generic);
    if (row == nullptr) return false;
    return list_append_steal(st.out.get(), row) == 0;
}

// Storage widths 1 and 2: every code point is one UTF-16 unit, so positions are indices.
// `ascii_text`: the whole text is ASCII, so no payload needs a scan for its width.
template <typename Unit, bool ascii_text>
PyObject *parse_narrow(ParseState &st, const Unit *data) noexcept {
    const Py_ssize_t length = st.length;
    Py_ssize_t i = 0;
    for (;;) {
        const Py_UCS4 ch = data[i];
        Py_ssize_t j = i + 1;
        if (ch == format::row_terminator) {
            if (!close_row(st)) return nullptr;
            if (j == length) return st.out.release();
            i = j;
            continue;
        }
        const Py_ssize_t H_digits = format::decode_h_digit(ch);
        if (H_digits < 0) return raise_parse_error(ParseError::token(ch, i));
        // The length field and one character after it must fit before any is examined.
        const Py_ssize_t char_start = i + 1 + H_digits;
        if (char_start >= length) return raise_parse_error(ParseError::end_of_input());
        Py_ssize_t n = 0;
        // One or two length characters, the common case, without a branch on which:
        // data[i + 2] lies in the text either way (i + 2 <= char_start < length).
        const Py_UCS4 d0 = format::digit_value(data[i + 1]);
        const Py_UCS4 d1 = format::digit_value(data[i + 2]);
        const bool two = H_digits == 2;
        if (H_digits <= 2 && !((d0 > 9) | (two & (d1 > 9)))) [[likely]] {
            n = two ? static_cast<Py_ssize_t>(d0 * 10 + d1) : static_cast<Py_ssize_t>(d0);
        } else {
            for (; j < char_start; ++j) {
                const Py_UCS4 c = data[j];
                const Py_UCS4 d = format::digit_value(c);
                if (d > 9) return raise_parse_error(ParseError::token(c, j));
                n = n * 10 + static_cast<Py_ssize_t>(d);
            }
        }
        // At most 16 digits: n < 10^16, so the sum cannot overflow. Some character, the
        // next H digit or the terminator, must follow the payload.
        const Py_ssize_t payload_end = char_start + n;
        if (payload_end >= length) return raise_parse_error(ParseError::end_of_input());
        const Py_UCS4 ored = payload_or(st, data, char_start, payload_end, ascii_text);
        if (!take_item<ascii_text>(st, data, char_start, payload_end, ored)) return nullptr;
        i = payload_end;
    }
}

// Storage width 4: code-point index and UTF-16 index side by side; every position
// reported is a UTF-16 index from the start of the text.
PyObject *parse_wide(ParseState &st, const Py_UCS4 *buf) noexcept {
    const Py_ssize_t length = st.length;
    Py_ssize_t char_idx = 0;
    Py_ssize_t u16_idx = 0;
    for (;;) {
        const Py_UCS4 ch = buf[char_idx];
        if (ch == format::row_terminator) {
            if (!close_row(st)) return nullptr;
            ++char_idx;
            ++u16_idx;
            if (char_idx == length) return st.out.release();
            continue;
        }
        const Py_ssize_t H_digits = format::decode_h_digit(ch);
        if (H_digits < 0) return raise_parse_error(ParseError::token(ch, u16_idx));
        ++char_idx;
        ++u16_idx;
        // Looser than the narrow bound: a length field that ends the text is still read,
        // so its bad characters are reported as tokens.
        if (char_idx + H_digits > length) return raise_parse_error(ParseError::end_of_input());
        Py_ssize_t target_u16_len = 0;
        for (Py_ssize_t k = 0; k < H_digits; ++k) {
            const Py_UCS4 c = buf[char_idx];
            const Py_UCS4 d = format::digit_value(c);
            if (d > 9) return raise_parse_error(ParseError::token(c, u16_idx));
            target_u16_len = target_u16_len * 10 + static_cast<Py_ssize_t>(d);
            ++char_idx;
            ++u16_idx;
        }
        const Py_ssize_t char_start = char_idx;
        Py_ssize_t u16_accum = 0;
        Py_UCS4 cp = 0;
        Py_UCS4 ored = 0;  // the payload's code points OR-ed, for its width
        while (u16_accum < target_u16_len) {
            // Four code points add at most eight units: while that cannot pass the
            // declared end and the text holds four more, take them in one step.
            if (target_u16_len - u16_accum >= 8 && length - char_idx >= 4) {
                const Py_UCS4 a = buf[char_idx], b = buf[char_idx + 1], c = buf[char_idx + 2], d = buf[char_idx + 3];
                ored |= a | b | c | d;
                u16_accum += 4 + static_cast<Py_ssize_t>(a > 0xFFFF) + static_cast<Py_ssize_t>(b > 0xFFFF) +
                             static_cast<Py_ssize_t>(c > 0xFFFF) + static_cast<Py_ssize_t>(d > 0xFFFF);
                char_idx += 4;
                continue;
            }
            if (char_idx >= length) return raise_parse_error(ParseError::end_of_input());
            cp = buf[char_idx++];
            ored |= cp;
            u16_accum += cp > 0xFFFF ? 2 : 1;
        }
        // A character above U+FFFF whose low half lies past the declared end: reported
        // as that low surrogate, at its UTF-16 index. Tested before the end of text.
        if (u16_accum > target_u16_len) {
            const Py_UCS4 low_surrogate_code = 0xDC00 + (cp & 0x3FF);
            return raise_parse_error(ParseError::token(low_surrogate_code, u16_idx + target_u16_len));
        }
        if (char_idx >= length) return raise_parse_error(ParseError::end_of_input());
        if (!take_item(st, buf, char_start, char_idx, ored)) return nullptr;
        u16_idx += target_u16_len;
    }
}

}  // namespace

PyObject *parse(PyObject *text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return raise_parse_error(ParseError::end_of_input());
    if (capacity_after[1] == 0 && !force_generic()) learn_capacities();
    ParseState st{text, length, force_generic(), {}, {}};
    st.out = steal(PyList_New(0));
    if (!st.out) return nullptr;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        if (PyUnicode_IS_ASCII(text)) return parse_narrow<Py_UCS1, true>(st, PyUnicode_1BYTE_DATA(text));
        return parse_narrow<Py_UCS1, false>(st, PyUnicode_1BYTE_DATA(text));
    case PyUnicode_2BYTE_KIND: return parse_narrow<Py_UCS2, false>(st, PyUnicode_2BYTE_DATA(text));
    default: return parse_wide(st, PyUnicode_4BYTE_DATA(text));
    }
}

}  // namespace vorl
