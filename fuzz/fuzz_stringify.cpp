/* fuzz/fuzz_stringify.cpp: libFuzzer target for vorl.stringify on rows of mixed objects */
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "text_source.h"

using namespace vorl_fuzz;

namespace {

// Objects the rows are made of, defined once in the embedded interpreter.
constexpr char helpers_source[] = R"(
class Sub(str):
    def __str__(self):
        return "__str__ of a str subclass is never called"

class Text:
    """An item whose text is an instance of a str subclass."""
    def __init__(self, text):
        self.text = text
    def __str__(self):
        return Sub(self.text)

class Row(list):
    """A list subclass: walked through its own iterator, which skips nothing."""
    def __iter__(self):
        return iter(list(list.__iter__(self)))

def generator(items):
    yield from items
)";

struct Helpers {
    PyObject *sub, *text, *row, *generator;
};

Helpers &helpers() {
    static Helpers h = [] {
        PyObject *ns = PyDict_New();
        if (ns == nullptr || PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) std::abort();
        PyObject *done = PyRun_String(helpers_source, Py_file_input, ns, ns);
        if (done == nullptr) fail_python("helpers");
        Py_DECREF(done);
        Helpers made{PyDict_GetItemString(ns, "Sub"), PyDict_GetItemString(ns, "Text"),
                     PyDict_GetItemString(ns, "Row"), PyDict_GetItemString(ns, "generator")};
        return made;  // `ns` stays alive and keeps them
    }();
    return h;
}

// An exact str of up to 15 characters from the payload table (every storage width).
PyObject *random_text(ByteReader &in) {
    std::vector<uint32_t> cps(in.byte() % 16);
    for (uint32_t &cp : cps) cp = payload_chars[in.byte() % std::size(payload_chars)];
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps.data(), static_cast<Py_ssize_t>(cps.size()));
}

PyObject *call1(PyObject *func, PyObject *arg) {
    PyObject *r = PyObject_CallOneArg(func, arg);
    Py_DECREF(arg);
    return r;
}

// One item and its expected text (an exact str), both new references.
bool make_item(ByteReader &in, PyObject **item, PyObject **expected) {
    const uint8_t kind = in.byte() % 9;
    PyObject *text = random_text(in);
    if (text == nullptr) return false;
    switch (kind) {
    case 0: case 1: case 2:  // exact str
        *item = Py_NewRef(text);
        break;
    case 3:  // str subclass: its own characters, no __str__ call
        *item = call1(helpers().sub, Py_NewRef(text));
        break;
    case 4:  // an object whose __str__ gives a str subclass
        *item = call1(helpers().text, Py_NewRef(text));
        break;
    case 5: {  // an int, up to 40 digits
        PyObject *n = PyLong_FromLongLong(static_cast<int16_t>(in.word()));
        PyObject *scale = PyLong_FromLongLong(static_cast<long long>(1) << (in.byte() % 63));
        *item = n && scale ? PyNumber_Multiply(n, scale) : nullptr;
        Py_XDECREF(n);
        Py_XDECREF(scale);
        break;
    }
    case 6:  // a tuple as an item: its repr
        *item = PyTuple_Pack(2, text, Py_None);
        break;
    case 7:  // a list as an item
        *item = PyList_New(1);
        if (*item) PyList_SET_ITEM(*item, 0, Py_NewRef(text));
        break;
    default:
        *item = Py_NewRef(in.byte() & 1 ? Py_True : Py_None);
        break;
    }
    Py_DECREF(text);
    if (*item == nullptr) return false;
    *expected = PyObject_Str(*item);
    if (*expected != nullptr && !PyUnicode_CheckExact(*expected)) {
        // A subclass instance's characters as an exact str.
        PyObject *exact = PyUnicode_Substring(*expected, 0, PyUnicode_GET_LENGTH(*expected));
        Py_SETREF(*expected, exact);
    }
    if (kind == 3) Py_XSETREF(*expected, PyUnicode_Substring(*item, 0, PyUnicode_GET_LENGTH(*item)));
    return *expected != nullptr;
}

// Wraps a list of elements as a list, tuple, generator, list subclass or list iterator.
PyObject *as_sequence(PyObject *list, uint8_t kind) {
    switch (kind % 5) {
    case 0: return list;
    case 1: return call1(reinterpret_cast<PyObject *>(&PyTuple_Type), list);
    case 2: return call1(helpers().generator, list);
    case 3: return call1(helpers().row, list);
    default: {
        PyObject *it = PyObject_GetIter(list);
        Py_DECREF(list);
        return it;
    }
    }
}

// Rows from the input; `expected` gets the list of lists of their texts.
PyObject *make_rows(ByteReader &in, PyObject *expected) {
    PyObject *rows = PyList_New(0);
    while (rows != nullptr && !in.empty()) {
        const uint8_t shape = in.byte();
        PyObject *row = PyList_New(0);
        PyObject *texts = PyList_New(0);
        if (row == nullptr || texts == nullptr) return nullptr;
        for (int k = shape >> 3; k > 0 && !in.empty(); --k) {
            PyObject *item, *text;
            if (!make_item(in, &item, &text)) return nullptr;
            if (PyList_Append(row, item) < 0 || PyList_Append(texts, text) < 0) return nullptr;
            Py_DECREF(item);
            Py_DECREF(text);
        }
        PyObject *wrapped = as_sequence(row, shape);
        if (wrapped == nullptr || PyList_Append(rows, wrapped) < 0 || PyList_Append(expected, texts) < 0) return nullptr;
        Py_DECREF(wrapped);
        Py_DECREF(texts);
    }
    return rows;
}

// A call's result or exception.
struct Outcome {
    PyObject *result = nullptr;
    PyObject *exc = nullptr;
    Outcome() = default;
    Outcome(const Outcome &) = delete;
    Outcome(Outcome &&other) noexcept
        : result(std::exchange(other.result, nullptr)), exc(std::exchange(other.exc, nullptr)) {}
    ~Outcome() {
        Py_XDECREF(result);
        Py_XDECREF(exc);
    }
    PyObject *get() const { return result != nullptr ? result : exc; }
};

// A call of stringify, whose result must be a consistent exact str.
Outcome outcome(PyObject *func, PyObject *arg, const uint8_t *data, size_t size) {
    Outcome o;
    o.result = call(func, arg, &o.exc, data, size);
    if (o.result != nullptr && (!PyUnicode_CheckExact(o.result) || !_PyUnicode_CheckConsistency(o.result, 1))) {
        broken("stringify gave no consistent exact str", data, size, show(o.result));
    }
    if (o.exc != nullptr && PyErr_GivenExceptionMatches(o.exc, PyExc_SystemError)) {
        broken("stringify failed with SystemError", data, size, show(o.exc));
    }
    return o;
}

bool same(const Outcome &a, const Outcome &b) {
    if (a.result != nullptr || b.result != nullptr) {
        return a.result != nullptr && b.result != nullptr && PyUnicode_Compare(a.result, b.result) == 0;
    }
    if (Py_TYPE(a.exc) != Py_TYPE(b.exc)) return false;
    PyObject *a_args = PyObject_GetAttrString(a.exc, "args");
    PyObject *b_args = PyObject_GetAttrString(b.exc, "args");
    const int eq = a_args && b_args ? PyObject_RichCompareBool(a_args, b_args, Py_EQ) : -1;
    Py_XDECREF(a_args);
    Py_XDECREF(b_args);
    if (eq < 0) PyErr_Clear();
    return eq == 1;
}

PyObject *default_hex() {
    static PyObject *hex = PyUnicode_FromString("0123456789abcdef");
    return hex;
}

// Null for the module's own HEX (choices 0-7); otherwise a new reference to another value:
// upper case, too short for long items, characters of each storage width, longer than
// any length needs, and a str subclass instance.
PyObject *hex_binding(int choice) {
    static const uint32_t wide[] = {0x1F600, '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    static const uint32_t ucs2[] = {0x100, '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    static const uint32_t latin1[] = {0xE9, '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    switch (choice) {
    case 8: return PyUnicode_FromString("0123456789ABCDEF");
    case 9: return PyUnicode_FromString("0");
    case 10: return PyUnicode_FromString("01");
    case 11: return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide, 16);
    case 12: return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, ucs2, 16);
    case 13: return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, latin1, 16);
    case 14: return PyUnicode_FromString("0123456789abcdefghijklmnopqrstuvwxyz");
    case 15: return PyObject_CallOneArg(helpers().sub, default_hex());
    default: return nullptr;
    }
}

// With the module's HEX every call succeeds, the plain-Python writer agrees, and the text
// reads back to the items' texts.
void check_default_hex(const Outcome &written, PyObject *expected, const uint8_t *data, size_t size) {
    Interpreter &it = interpreter();
    if (written.result == nullptr) broken("stringify failed", data, size, show(written.exc));
    if (it.reference != nullptr) {
        PyObject *want = PyObject_CallMethod(it.reference, "encode", "O", expected);
        if (want == nullptr || PyUnicode_Compare(want, written.result) != 0) {
            broken("the reference writes the texts otherwise", data, size, show(written.result) + "\n" + show(want));
        }
        Py_DECREF(want);
    }
    if (PyList_GET_SIZE(expected) == 0) {
        if (PyUnicode_GET_LENGTH(written.result) != 0) broken("no rows gave a non-empty text", data, size);
        return;
    }
    Outcome back;
    back.result = call(it.parse, written.result, &back.exc, data, size);
    if (back.result == nullptr || PyObject_RichCompareBool(back.result, expected, Py_EQ) != 1) {
        broken("the text does not read back to the items' texts", data, size,
               show(written.result) + " -> " + show(back.get()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    start_interpreter();
    helpers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Interpreter &it = interpreter();
    ByteReader in(data, size);
    // Bits 0-2: the outer iterable's kind; bits 3-6: the HEX binding (mostly the module's).
    const uint8_t outer = in.byte();
    const int hex_choice = (outer >> 3) & 15;
    PyObject *expected = PyList_New(0);
    PyObject *rows = expected ? make_rows(in, expected) : nullptr;
    if (rows == nullptr) broken("the rows could not be made", data, size);
    PyObject *lists = as_sequence(rows, outer & 7);
    if (lists == nullptr) broken("the outer iterable could not be made", data, size);
    PyObject *texts_generator = PyObject_CallOneArg(helpers().generator, expected);
    if (texts_generator == nullptr) broken("the generator could not be made", data, size);
    PyObject *hex = hex_binding(hex_choice);
    if (hex != nullptr && PyObject_SetAttrString(it.vorl, "HEX", hex) < 0) broken("HEX could not be bound", data, size);

    // Three ways to the same text: the objects themselves; their texts as exact lists of
    // exact str (the direct path where it applies); the texts through a generator (the
    // general path). All three give the same string or the same exception.
    Outcome mixed = outcome(it.stringify, lists, data, size);
    Outcome direct = outcome(it.stringify, expected, data, size);
    Outcome general = outcome(it.stringify, texts_generator, data, size);
    if (!same(mixed, direct) || !same(direct, general)) {
        broken("the ways to write the same texts disagree", data, size,
               show(mixed.get()) + "\n" + show(direct.get()) + "\n" + show(general.get()));
    }
    if (hex == nullptr) check_default_hex(mixed, expected, data, size);
    if (hex != nullptr && PyObject_SetAttrString(it.vorl, "HEX", default_hex()) < 0) broken("HEX restore", data, size);
    Py_XDECREF(hex);
    Py_DECREF(texts_generator);
    Py_DECREF(lists);
    Py_DECREF(expected);
    return 0;
}
