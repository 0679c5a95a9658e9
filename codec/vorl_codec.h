/* codec/vorl_codec.h: the row-list codec's operations on host objects */
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorl {

// Where the codec resolves the module globals it reads at call time (HEX and
// ErrUnexpectedEndOfInput). Filled once by the module's exec step; the references are
// owned by the module and live until the process ends.
struct CodecGlobals {
    PyObject *module_dict = nullptr;
    PyObject *builtins = nullptr;
    PyObject *name_hex = nullptr;           // interned "HEX"
    PyObject *name_end_of_input = nullptr;  // interned "ErrUnexpectedEndOfInput"
    PyObject *row_terminator = nullptr;     // ";"
    PyObject *empty = nullptr;              // ""
};

// Installs the globals (borrowed for the life of the process).
void set_codec_globals(const CodecGlobals &globals) noexcept;
const CodecGlobals &codec_globals() noexcept;

// Serializes an iterable of iterables into a new VORL string. Returns a new reference,
// or null with the host's exception set.
PyObject *serialize(PyObject *lists) noexcept;

// Parses `text`, whose type must be exactly str, into a new list of new lists of str.
// Returns a new reference, or null with the host's exception set (SyntaxError for
// malformed text).
PyObject *parse(PyObject *text) noexcept;

}  // namespace vorl
