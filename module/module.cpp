/* module/module.cpp: the vorl module definition, its create and exec steps */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "../codec/format.h"
#include "../codec/globals.h"
#include "../codec/py_ref.h"
#include "../codec/vorl_codec.h"
#include "entry_points.h"
#include "function_type.h"

// The version the module is built for: the headers', unless the build overrides it.
#ifndef VORL_TARGET_MAJOR
#define VORL_TARGET_MAJOR PY_MAJOR_VERSION
#endif
#ifndef VORL_TARGET_MINOR
#define VORL_TARGET_MINOR PY_MINOR_VERSION
#endif

namespace vorl {

namespace {

// Process-wide: the module keeps all its state here, so one interpreter owns it.
int64_t interpreter_record = -1;
PyObject *module_record = nullptr;  // strong; released only when its exec step fails

struct Namespace {
    PyObject *dict = nullptr;
    PyObject *builtins = nullptr;
};
Namespace space;

// Constant strings, made once and kept for the life of the process.
struct Constants {
    PyObject *lists, *vorl, *hex, *end_of_input, *add_note, *note, *semicolon, *empty, *module_name;
    PyObject *sys, *stringify, *parse, *all, *utf16_codec, *test, *ret, *str, *list, *byteorder, *big;
    bool made = false;
};
Constants k;

constexpr const char *subclass_note_text =
    "vorl checks annotated built-in argument types more strictly than PEP 484 does and rejects "
    "subclasses of built-in types. Passing subclasses requires building the module with "
    "annotation-based argument typing switched off.";

// ---- create step ---------------------------------------------------------------------

// Copies one spec attribute into the module's dictionary; a missing attribute is skipped.
int copy_spec_attribute(PyObject *spec, const char *attr, PyObject *dict, const char *key, bool store_none) {
    Ref value = steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !store_none) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1) return nullptr;
    if (interpreter_record == -1) {
        interpreter_record = id;
    } else if (id != interpreter_record) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (module_record != nullptr) return Py_NewRef(module_record);

    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, "loader", dict, "__loader__", true) < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__", true) < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__", true) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- exec step -----------------------------------------------------------------------

PyObject *interned(const char *text) noexcept {
    PyObject *s = PyUnicode_InternFromString(text);
    if (s != nullptr && PyObject_Hash(s) == -1) Py_CLEAR(s);
    return s;
}

PyObject *constant(const char *text) noexcept {
    PyObject *s = PyUnicode_FromString(text);
    if (s != nullptr && PyObject_Hash(s) == -1) Py_CLEAR(s);
    return s;
}

int make_constants() noexcept {
    if (k.made) return 0;
    Constants c{};
    struct Entry {
        PyObject **slot;
        const char *text;
        bool intern;
    } entries[] = {
        {&c.lists, "lists", true}, {&c.vorl, "vorl", true}, {&c.hex, "HEX", true},
        {&c.end_of_input, "ErrUnexpectedEndOfInput", true}, {&c.add_note, "add_note", true},
        {&c.note, subclass_note_text, false}, {&c.semicolon, ";", false}, {&c.empty, "", false},
        {&c.module_name, "vorl", false}, {&c.sys, "sys", true}, {&c.stringify, "stringify", true},
        {&c.parse, "parse", true}, {&c.all, "__all__", true}, {&c.utf16_codec, "UTF16_CODEC", true},
        {&c.test, "__test__", true}, {&c.ret, "return", true}, {&c.str, "str", false},
        {&c.list, "list", false}, {&c.byteorder, "byteorder", true}, {&c.big, "big", false},
    };
    for (const Entry &e : entries) {
        *e.slot = e.intern ? interned(e.text) : constant(e.text);
        if (*e.slot == nullptr) {
            for (const Entry &made : entries) Py_CLEAR(*made.slot);
            return -1;
        }
    }
    c.made = true;
    k = c;
    return 0;
}

// Steals `value` and binds it as `name` in the module's namespace.
int bind(PyObject *name, PyObject *value) noexcept {
    Ref owned = steal(value);
    if (!owned) return -1;
    return PyDict_SetItem(space.dict, name, owned.get());
}

int warn_on_version_mismatch() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == VORL_TARGET_MAJOR && minor == VORL_TARGET_MINOR) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  VORL_TARGET_MAJOR, VORL_TARGET_MINOR, "vorl", "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

PyObject *import_sys() noexcept {
    PyObject *sys = PyImport_GetModule(k.sys);
    if (sys != nullptr || PyErr_Occurred()) return sys;
    return PyImport_ImportModuleLevelObject(k.sys, space.dict, nullptr, nullptr, 0);
}

// "utf-16-be" when sys.byteorder == "big", else "utf-16-le".
PyObject *utf16_codec_name() noexcept {
    // Read as the module's own code would read its global `sys`.
    Ref sys = steal(lookup_global(k.sys));
    if (!sys) return nullptr;
    Ref order = steal(PyObject_GetAttr(sys.get(), k.byteorder));
    if (!order) return nullptr;
    int differs;
    if (PyUnicode_CheckExact(order.get())) {
        differs = order.get() != k.big && !PyUnicode_Equal(order.get(), k.big);
    } else {
        Ref result = steal(PyObject_RichCompare(order.get(), k.big, Py_NE));
        if (!result) return nullptr;
        if (result.get() == Py_True) differs = 1;
        else if (result.get() == Py_False || result.get() == Py_None) differs = 0;
        else if ((differs = PyObject_IsTrue(result.get())) < 0) return nullptr;
    }
    return PyUnicode_FromString(differs ? "utf-16-le" : "utf-16-be");
}

PyObject *annotations_of(PyObject *parameter, PyObject *parameter_type, PyObject *return_type) noexcept {
    Ref dict = steal(PyDict_New());
    if (!dict) return nullptr;
    if (parameter != nullptr && PyDict_SetItem(dict.get(), parameter, parameter_type) < 0) return nullptr;
    if (PyDict_SetItem(dict.get(), k.ret, return_type) < 0) return nullptr;
    return dict.release();
}

int bind_statements(PyObject *module) noexcept {
    if (bind(k.sys, import_sys()) < 0) return -1;
    if (bind(k.all, Py_BuildValue("[OO]", k.stringify, k.parse)) < 0) return -1;
    if (bind(k.hex, PyUnicode_FromString(format::hex_alphabet)) < 0) return -1;
    if (bind(k.end_of_input, PyUnicode_FromString(format::end_of_input_message)) < 0) return -1;
    if (bind(k.utf16_codec, utf16_codec_name()) < 0) return -1;
    PyObject *stringify_annotations = annotations_of(nullptr, nullptr, k.str);
    if (stringify_annotations == nullptr) return -1;
    if (bind(k.stringify, function_new(&stringify_def, module, k.lists, k.stringify, k.module_name,
                                       stringify_annotations)) < 0) {
        return -1;
    }
    PyObject *parse_annotations = annotations_of(k.vorl, k.str, k.list);
    if (parse_annotations == nullptr) return -1;
    if (bind(k.parse, function_new(&parse_def, module, k.vorl, k.parse, k.module_name, parse_annotations)) < 0) {
        return -1;
    }
    return bind(k.test, PyDict_New());
}

// Set while the exec step's own "vorl" entry in sys.modules refers to the module.
bool entered_in_modules = false;

int exec_steps(PyObject *module) noexcept {
    PyObject *dict = PyModule_GetDict(module);
    Py_XSETREF(space.dict, Py_NewRef(dict));
    PyObject *builtins = PyImport_AddModuleRef("builtins");
    if (builtins == nullptr) return -1;
    Py_XSETREF(space.builtins, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", space.builtins) < 0) return -1;
    if (warn_on_version_mismatch() < 0) return -1;
    if (make_constants() < 0) return -1;
    if (function_type_ready() < 0) return -1;
    if (PyErr_Occurred()) return -1;

    set_codec_globals(CodecGlobals{space.dict, space.builtins, k.hex, k.end_of_input, k.semicolon, k.empty});
    set_entry_constants(EntryConstants{k.lists, k.vorl, k.add_note, k.note});

    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, "vorl") == nullptr) {
        if (PyDict_SetItemString(modules, "vorl", module) < 0) return -1;
        entered_in_modules = true;
    }
    return bind_statements(module);
}

int module_exec(PyObject *module) {
    if (module_record != nullptr) {
        if (module_record == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vorl' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_record = Py_NewRef(module);
    entered_in_modules = false;
    if (exec_steps(module) < 0) {
        // The import system drops the module's entry under its own name; the extra "vorl"
        // entry made above is dropped too, so no half-built module stays importable.
        if (entered_in_modules) {
            PyObject *exc = PyErr_GetRaisedException();
            PyObject *modules = PyImport_GetModuleDict();
            if (PyDict_GetItemString(modules, "vorl") == module && PyDict_DelItemString(modules, "vorl") < 0) {
                PyErr_Clear();
            }
            PyErr_SetRaisedException(exc);
        }
        Py_CLEAR(module_record);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorl",       // m_name
    nullptr,      // m_doc
    0,            // m_size
    no_methods,   // m_methods
    module_slots, // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

}  // namespace

}  // namespace vorl

PyMODINIT_FUNC PyInit_vorl(void) { return PyModuleDef_Init(&vorl::module_def); }
