/* codec/parse_error.cpp: building and raising the parser's SyntaxError */
#include "parse_error.h"

#include <cstring>

#include "format.h"
#include "globals.h"
#include "py_ref.h"
#include "unicode_util.h"

namespace vorl {

namespace {

constexpr char token_prefix[] = "Unexpected token '";
constexpr char token_middle[] = "' at position ";

template <typename Unit>
void write_ascii(Unit *dst, const char *text, Py_ssize_t n) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i) dst[i] = static_cast<Unit>(static_cast<unsigned char>(text[i]));
}

template <typename Unit>
void write_token_message(Unit *dst, Py_UCS4 ch, Py_ssize_t position, int digits) noexcept {
    constexpr Py_ssize_t prefix_len = sizeof token_prefix - 1;
    constexpr Py_ssize_t middle_len = sizeof token_middle - 1;
    write_ascii(dst, token_prefix, prefix_len);
    dst[prefix_len] = static_cast<Unit>(ch);
    write_ascii(dst + prefix_len + 1, token_middle, middle_len);
    format::write_decimal(dst + prefix_len + 1 + middle_len, position, digits);
}

// The four pieces, allocated once at the width the character needs. The character goes
// in as it is: no escaping, lone surrogates included.
PyObject *token_message(Py_UCS4 ch, Py_ssize_t position) noexcept {
    const int digits = format::decimal_digits(position);
    const Py_ssize_t length = static_cast<Py_ssize_t>(sizeof token_prefix - 1 + 1 + sizeof token_middle - 1) + digits;
    PyObject *msg = PyUnicode_New(length, ch > 127 ? ch : 127);
    if (msg == nullptr) return nullptr;
    switch (PyUnicode_KIND(msg)) {
    case PyUnicode_1BYTE_KIND: write_token_message(PyUnicode_1BYTE_DATA(msg), ch, position, digits); break;
    case PyUnicode_2BYTE_KIND: write_token_message(PyUnicode_2BYTE_DATA(msg), ch, position, digits); break;
    default: write_token_message(PyUnicode_4BYTE_DATA(msg), ch, position, digits); break;
    }
    check_new_string(msg);
    return msg;
}

}  // namespace

PyObject *raise_parse_error(const ParseError &error) noexcept {
    Ref message = error.kind == ParseError::Kind::unexpected_token
                      ? steal(token_message(error.character, error.position))
                      : steal(lookup_global(codec_globals().name_end_of_input));
    if (!message) return nullptr;
    // The built-in SyntaxError itself, never a name lookup; one argument and nothing else.
    Ref exc = steal(PyObject_CallOneArg(PyExc_SyntaxError, message.get()));
    if (!exc) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace vorl
