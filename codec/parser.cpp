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

// The result list and the row being read. A row enters `out` at its terminator.
struct ParseState {
    PyObject *text;
    Py_ssize_t length;
    bool ascii_text;  // every payload is ASCII: it can be copied without a scan
    Ref out;
    Ref ls;
};

// The payload [start, end) as a canonical str, the same object PyUnicode_Substring
// would give: narrowest width, the shared empty and one-character strings.
PyObject *cut_payload(const ParseState &st, Py_ssize_t start, Py_ssize_t end) noexcept {
    if (!st.ascii_text) return PyUnicode_Substring(st.text, start, end);
    const Py_ssize_t n = end - start;
    const Py_UCS1 *src = PyUnicode_1BYTE_DATA(st.text) + start;
    if (n <= 1) {
        if (n == 0) return Py_NewRef(codec_globals().empty);
        return PyUnicode_FromOrdinal(src[0]);
    }
    PyObject *item = PyUnicode_New(n, 127);
    if (item == nullptr) return nullptr;
    std::memcpy(PyUnicode_1BYTE_DATA(item), src, static_cast<size_t>(n));
    check_new_string(item);
    return item;
}

// Appends the payload to the current row.
inline bool take_item(ParseState &st, Py_ssize_t start, Py_ssize_t end) noexcept {
    PyObject *item = cut_payload(st, start, end);
    if (item == nullptr) return false;
    return list_append_steal(st.ls.get(), item) == 0;
}

// Appends the current row to `out` (which takes its own reference).
inline bool close_row(ParseState &st) noexcept {
    return list_append_steal(st.out.get(), Py_NewRef(st.ls.get())) == 0;
}

inline bool start_row(ParseState &st) noexcept {
    st.ls.reset(PyList_New(0));
    return static_cast<bool>(st.ls);
}

// Storage widths 1 and 2: every code point is one UTF-16 unit, so positions are indices.
template <typename Unit>
PyObject *parse_narrow(ParseState &st, const Unit *data) noexcept {
    const Py_ssize_t length = st.length;
    Py_ssize_t i = 0;
    for (;;) {
        const Py_UCS4 ch = data[i];
        Py_ssize_t j = i + 1;
        if (ch == format::row_terminator) {
            if (!close_row(st)) return nullptr;
            if (j == length) return st.out.release();
            if (!start_row(st)) return nullptr;
            i = j;
            continue;
        }
        const Py_ssize_t H_digits = format::decode_h_digit(ch);
        if (H_digits < 0) return raise_parse_error(ParseError::token(ch, i));
        // The length field and one character after it must fit before any is examined.
        const Py_ssize_t char_start = i + 1 + H_digits;
        if (char_start >= length) return raise_parse_error(ParseError::end_of_input());
        Py_ssize_t n = 0;
        for (; j < char_start; ++j) {
            const Py_UCS4 c = data[j];
            const Py_UCS4 d = format::digit_value(c);
            if (d > 9) return raise_parse_error(ParseError::token(c, j));
            n = n * 10 + static_cast<Py_ssize_t>(d);
        }
        // At most 16 digits: n < 10^16, so the sum cannot overflow. Some character, the
        // next H digit or the terminator, must follow the payload.
        const Py_ssize_t payload_end = char_start + n;
        if (payload_end >= length) return raise_parse_error(ParseError::end_of_input());
        if (!take_item(st, char_start, payload_end)) return nullptr;
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
            if (!start_row(st)) return nullptr;
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
        while (u16_accum < target_u16_len) {
            if (char_idx >= length) return raise_parse_error(ParseError::end_of_input());
            cp = buf[char_idx++];
            u16_accum += cp > 0xFFFF ? 2 : 1;
        }
        // A character above U+FFFF whose low half lies past the declared end: reported
        // as that low surrogate, at its UTF-16 index. Tested before the end of text.
        if (u16_accum > target_u16_len) {
            const Py_UCS4 low_surrogate_code = 0xDC00 + (cp & 0x3FF);
            return raise_parse_error(ParseError::token(low_surrogate_code, u16_idx + target_u16_len));
        }
        if (char_idx >= length) return raise_parse_error(ParseError::end_of_input());
        if (!take_item(st, char_start, char_idx)) return nullptr;
        u16_idx += target_u16_len;
    }
}

}  // namespace

PyObject *parse(PyObject *text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return raise_parse_error(ParseError::end_of_input());
    ParseState st{text, length, PyUnicode_IS_ASCII(text) && !force_generic(), {}, {}};
    st.out = steal(PyList_New(0));
    if (!st.out) return nullptr;
    if (!start_row(st)) return nullptr;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return parse_narrow(st, PyUnicode_1BYTE_DATA(text));
    case PyUnicode_2BYTE_KIND: return parse_narrow(st, PyUnicode_2BYTE_DATA(text));
    default: return parse_wide(st, PyUnicode_4BYTE_DATA(text));
    }
}

}  // namespace vorl
