/* codec/globals.cpp: module globals read by the codec, and the global lookup rule */
#include "globals.h"

#include <cstdlib>
#include <cstring>

namespace vorl {

namespace {
CodecGlobals installed;
bool generic_forced = false;
}  // namespace

void set_codec_globals(const CodecGlobals &globals) noexcept {
    installed = globals;
    const char *flag = std::getenv("VORL_FORCE_GENERIC");
    generic_forced = flag != nullptr && flag[0] != '\0' && std::strcmp(flag, "0") != 0;
}

const CodecGlobals &codec_globals() noexcept { return installed; }

bool force_generic() noexcept { return generic_forced; }

PyObject *lookup_global(PyObject *name) noexcept {
    // The name is an interned constant whose hash was computed when it was made.
    Py_hash_t hash = PyObject_Hash(name);
    PyObject *value = _PyDict_GetItem_KnownHash(installed.module_dict, name, hash);
    if (value != nullptr) return Py_NewRef(value);
    if (PyErr_Occurred()) {
        // A failing comparison of some other key: ordinary errors are passed over the way
        // the interpreter's own global lookup does; anything else propagates.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    if (PyObject_GetOptionalAttr(installed.builtins, name, &value) < 0) return nullptr;
    if (value != nullptr) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

}  // namespace vorl
