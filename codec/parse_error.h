/* codec/parse_error.h: the parser's error and how it becomes a SyntaxError */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorl {

struct ParseError {
    enum class Kind { unexpected_token, end_of_input };
    Kind kind;
    Py_UCS4 character = 0;     // unexpected_token: the offending code point
    Py_ssize_t position = 0;   // unexpected_token: its UTF-16 position in the text

    static ParseError token(Py_UCS4 ch, Py_ssize_t u16_position) noexcept {
        return {Kind::unexpected_token, ch, u16_position};
    }
    static ParseError end_of_input() noexcept { return {Kind::end_of_input}; }
};

// Raises SyntaxError(message) as the current exception. For an unexpected token the
// message is "Unexpected token '<ch>' at position <n>"; for the end of input it is the
// object bound to ErrUnexpectedEndOfInput at this moment. Returns nullptr for the caller.
[[gnu::cold, gnu::noinline]] PyObject *raise_parse_error(const ParseError &error) noexcept;

}  // namespace vorl
