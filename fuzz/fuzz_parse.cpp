/* fuzz/fuzz_parse.cpp: libFuzzer target for vorl.parse on texts of every storage width */
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "text_source.h"

using namespace vorl_fuzz;

namespace {

constexpr char end_of_input[] = "Unexpected end of input";
constexpr char token_prefix[] = "Unexpected token '";
constexpr char token_middle[] = "' at position ";

// The message, as code points.
std::vector<uint32_t> code_points_of(PyObject *str) {
    std::vector<uint32_t> cps(static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
    for (size_t i = 0; i < cps.size(); ++i) cps[i] = PyUnicode_READ_CHAR(str, static_cast<Py_ssize_t>(i));
    return cps;
}

bool has_ascii_at(const std::vector<uint32_t> &cps, size_t at, const char *text) {
    const size_t n = std::strlen(text);
    if (at + n > cps.size()) return false;
    for (size_t i = 0; i < n; ++i) {
        if (cps[at + i] != static_cast<unsigned char>(text[i])) return false;
    }
    return true;
}

// Empty when the SyntaxError message is the end-of-input text, or names a character that
// stands at the named UTF-16 position of `text`; otherwise what is wrong with it.
std::string message_problem(PyObject *message, PyObject *text) {
    if (!PyUnicode_CheckExact(message)) return "the message is no exact str";
    if (PyUnicode_CompareWithASCIIString(message, end_of_input) == 0) return {};
    const std::vector<uint32_t> m = code_points_of(message);
    const size_t prefix = sizeof token_prefix - 1;
    const size_t middle = sizeof token_middle - 1;
    if (!has_ascii_at(m, 0, token_prefix) || m.size() < prefix + 1 + middle + 1 ||
        !has_ascii_at(m, prefix + 1, token_middle)) {
        return "the message has neither known form";
    }
    const uint32_t ch = m[prefix];
    uint64_t position = 0;
    const size_t digits_at = prefix + 1 + middle;
    if (m.size() - digits_at > 19) return "the position is too long";
    for (size_t i = digits_at; i < m.size(); ++i) {
        if (m[i] < '0' || m[i] > '9') return "the position is no decimal number";
        position = position * 10 + (m[i] - '0');
    }
    if (m.size() - digits_at > 1 && m[digits_at] == '0') return "the position has a leading zero";
    const std::vector<uint32_t> units = utf16_units(text);
    if (ch > 0xFFFF) {
        if (position + 1 >= units.size()) return "the position lies outside the text";
        if (units[position] != 0xD800 + ((ch - 0x10000) >> 10) || units[position + 1] != 0xDC00 + ((ch - 0x10000) & 0x3FF)) {
            return "the astral character named is not at its position";
        }
        return {};
    }
    if (position >= units.size()) return "the position lies outside the text";
    if (units[position] != ch) return "the character named is not at its position";
    return {};
}

bool equal(PyObject *a, PyObject *b) {
    const int eq = PyObject_RichCompareBool(a, b, Py_EQ);
    if (eq < 0) PyErr_Clear();
    return eq == 1;
}

// Checks the module's outcome against the plain-Python reader of the tests.
void compare_with_reference(PyObject *text, PyObject *result, PyObject *exc, const uint8_t *data, size_t size) {
    PyObject *reference = interpreter().reference;
    if (reference == nullptr) return;
    PyObject *want = PyObject_CallMethod(reference, "decode", "O", text);
    PyObject *want_exc = PyErr_GetRaisedException();
    if (want != nullptr) {
        if (result == nullptr || !equal(result, want)) {
            broken("the reference reads the text, the module does not agree", data, size,
                   "module: " + show(result != nullptr ? result : exc) + "\nreference: " + show(want));
        }
    } else {
        PyObject *want_args = PyObject_GetAttrString(want_exc, "args");
        PyObject *got_args = exc != nullptr ? PyObject_GetAttrString(exc, "args") : nullptr;
        if (want_args == nullptr || got_args == nullptr || !PyErr_GivenExceptionMatches(want_exc, PyExc_SyntaxError) ||
            !equal(want_args, got_args)) {
            broken("the reference rejects the text otherwise", data, size,
                   "module: " + show(result != nullptr ? result : exc) + "\nreference: " + show(want_exc));
        }
        Py_XDECREF(want_args);
        Py_XDECREF(got_args);
    }
    Py_XDECREF(want);
    Py_XDECREF(want_exc);
}

void check_success(PyObject *text, PyObject *result, const uint8_t *data, size_t size) {
    Interpreter &it = interpreter();
    if (!is_row_list(result)) broken("parse gave no list of lists of exact str", data, size, show(result));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_READ_CHAR(text, n - 1) != ';') broken("a text that does not end in ';' parsed", data, size);
    PyObject *exc;
    PyObject *again = call(it.stringify, result, &exc, data, size);
    if (again == nullptr) broken("stringify failed on a parse result", data, size, show(exc));
    if (!PyUnicode_CheckExact(again) || PyUnicode_GET_LENGTH(again) > n) {
        broken("the written form is no str, or longer than the text read", data, size, show(again));
    }
    PyObject *back = call(it.parse, again, &exc, data, size);
    if (back == nullptr || !equal(back, result)) {
        broken("the written form does not read back to the same rows", data, size,
               show(again) + " -> " + show(back != nullptr ? back : exc));
    }
    Py_DECREF(back);
    Py_DECREF(again);
}

void check_failure(PyObject *text, PyObject *exc, const uint8_t *data, size_t size) {
    if (!PyErr_GivenExceptionMatches(reinterpret_cast<PyObject *>(Py_TYPE(exc)), PyExc_SyntaxError) ||
        Py_TYPE(exc) != reinterpret_cast<PyTypeObject *>(PyExc_SyntaxError)) {
        broken("parse failed with something other than SyntaxError", data, size, show(exc));
    }
    PyObject *args = PyObject_GetAttrString(exc, "args");
    if (args == nullptr || !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1) {
        broken("the SyntaxError does not carry exactly the message", data, size, show(args));
    }
    const std::string problem = message_problem(PyTuple_GET_ITEM(args, 0), text);
    if (!problem.empty()) broken(problem.c_str(), data, size, show(PyTuple_GET_ITEM(args, 0)) + " for " + show(text));
    Py_DECREF(args);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    start_interpreter();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint32_t> cps = code_points(data, size);
    PyObject *text = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps.data(), static_cast<Py_ssize_t>(cps.size()));
    if (text == nullptr) broken("the text could not be made", data, size);
    PyObject *exc;
    PyObject *result = call(interpreter().parse, text, &exc, data, size);
    if (result != nullptr) {
        check_success(text, result, data, size);
    } else {
        check_failure(text, exc, data, size);
    }
    compare_with_reference(text, result, exc, data, size);
    Py_XDECREF(result);
    Py_XDECREF(exc);
    Py_DECREF(text);
    return 0;
}
