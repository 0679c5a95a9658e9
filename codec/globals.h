/* codec/globals.h: resolving the module globals the codec reads at call time */
#pragma once

#include "vorl_codec.h"

namespace vorl {

// Looks `name` up as a global of the module's own code would be: the module's dictionary
// first, then the built-ins module, then NameError "name '...' is not defined". Returns a
// new reference, or null with an exception set.
PyObject *lookup_global(PyObject *name) noexcept;

// True when the general (reference) paths are forced for every call, through the
// environment variable VORL_FORCE_GENERIC=1 read at import.
bool force_generic() noexcept;

}  // namespace vorl
