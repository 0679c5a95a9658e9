/* module/function_type.cpp: vorl.function, a vectorcall function object with annotations */
#include "function_type.h"

#include <cstddef>

#include "../codec/py_ref.h"

namespace vorl {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyMethodDef *def;
    PyObject *self;  // handed to ml_meth, as a built-in function's __self__ would be
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;
    PyObject *doc;
    PyObject *annotations;
    PyObject *parameter;  // the one parameter's name, for the signature
};

FunctionObject *as_function(PyObject *obj) noexcept { return reinterpret_cast<FunctionObject *>(obj); }

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(callable);
    auto meth = reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)()>(f->def->ml_meth));
    return meth(f->self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

int function_traverse(PyObject *obj, visitproc visit, void *arg) {
    FunctionObject *f = as_function(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(f->self);
    Py_VISIT(f->annotations);
    return 0;
}

int function_clear(PyObject *obj) {
    FunctionObject *f = as_function(obj);
    Py_CLEAR(f->self);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject *obj) {
    FunctionObject *f = as_function(obj);
    PyObject_GC_UnTrack(obj);
    function_clear(obj);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->parameter);
    PyTypeObject *type = Py_TYPE(obj);
    PyObject_GC_Del(obj);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *obj) {
    FunctionObject *f = as_function(obj);
    return PyUnicode_FromFormat("<function %U.%U>", f->module_name, f->qualname);
}

// Like a built-in function, it does not bind as a method: reading it off a class or an
// instance gives the function itself. This also lets inspect and pydoc treat it as a routine.
PyObject *function_descr_get(PyObject *obj, PyObject *, PyObject *) { return Py_NewRef(obj); }

PyObject *get_name(PyObject *obj, void *) { return Py_NewRef(as_function(obj)->name); }
PyObject *get_qualname(PyObject *obj, void *) { return Py_NewRef(as_function(obj)->qualname); }
PyObject *get_module(PyObject *obj, void *) { return Py_NewRef(as_function(obj)->module_name); }
PyObject *get_doc(PyObject *obj, void *) { return Py_NewRef(as_function(obj)->doc); }
PyObject *get_annotations(PyObject *obj, void *) { return Py_NewRef(as_function(obj)->annotations); }
PyObject *get_self(PyObject *obj, void *) { return Py_NewRef(as_function(obj)->self); }

// inspect.Signature of the one positional-or-keyword parameter, annotated from the
// current __annotations__ (whose values are strings, shown as such).
PyObject *get_signature(PyObject *obj, void *) {
    FunctionObject *f = as_function(obj);
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter_type = steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter_type) return nullptr;
    Ref signature_type = steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature_type) return nullptr;
    Ref empty = steal(PyObject_GetAttrString(parameter_type.get(), "empty"));
    if (!empty) return nullptr;
    Ref kind = steal(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;
    Ref parameter_name = borrow(f->parameter);

    auto annotation_of = [&](PyObject *key) -> Ref {
        PyObject *value = nullptr;
        if (PyDict_Check(f->annotations) && PyDict_GetItemRef(f->annotations, key, &value) < 0) return Ref();
        return value != nullptr ? steal(value) : borrow(empty.get());
    };
    Ref annotation = annotation_of(parameter_name.get());
    if (!annotation) return nullptr;
    Ref return_key = steal(PyUnicode_FromString("return"));
    if (!return_key) return nullptr;
    Ref return_annotation = annotation_of(return_key.get());
    if (!return_annotation) return nullptr;

    Ref args = steal(Py_BuildValue("(OO)", parameter_name.get(), kind.get()));
    if (!args) return nullptr;
    Ref kwargs = steal(Py_BuildValue("{sO}", "annotation", annotation.get()));
    if (!kwargs) return nullptr;
    Ref parameter = steal(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
    if (!parameter) return nullptr;
    Ref parameters = steal(Py_BuildValue("[O]", parameter.get()));
    if (!parameters) return nullptr;
    Ref sig_args = steal(Py_BuildValue("(O)", parameters.get()));
    if (!sig_args) return nullptr;
    Ref sig_kwargs = steal(Py_BuildValue("{sO}", "return_annotation", return_annotation.get()));
    if (!sig_kwargs) return nullptr;
    return PyObject_Call(signature_type.get(), sig_args.get(), sig_kwargs.get());
}

// Pickled by reference: the qualified name, found again in the module named __module__.
PyObject *function_reduce(PyObject *obj, PyObject *) { return Py_NewRef(as_function(obj)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vorl.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

PyTypeObject *function_type = nullptr;  // made once; lives as long as the process

}  // namespace

int function_type_ready() noexcept {
    if (function_type != nullptr) return 0;
    function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    return function_type != nullptr ? 0 : -1;
}

PyObject *function_new(PyMethodDef *def, PyObject *self, PyObject *parameter, PyObject *qualname,
                       PyObject *module_name, PyObject *annotations) noexcept {
    Ref owned_annotations = steal(annotations);
    Ref name = steal(PyUnicode_FromString(def->ml_name));
    if (!name) return nullptr;
    Ref doc = def->ml_doc != nullptr ? steal(PyUnicode_FromString(def->ml_doc)) : borrow(Py_None);
    if (!doc) return nullptr;
    FunctionObject *f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr) return nullptr;
    f->vectorcall = function_vectorcall;
    f->def = def;
    f->self = Py_XNewRef(self);
    f->name = name.release();
    f->qualname = Py_NewRef(qualname);
    f->module_name = Py_NewRef(module_name);
    f->doc = doc.release();
    f->annotations = owned_annotations.release();
    f->parameter = Py_NewRef(parameter);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace vorl
