// The call boundary: every entry from the interpreter runs through one of these wrappers, which
// turn failures (and C++ exceptions) into raised Python exceptions.
#pragma once

#include <cassert>
#include <new>
#include <optional>
#include <string>
#include <stdexcept>
#include <string_view>

#include "failure.hpp"

namespace tavrel {

// The PanicException type, made on first call (module initialisation makes it, so that an
// internal failure under memory exhaustion can still be raised as one). NULL with an exception
// set when it cannot be made.
PyObject* get_panic_type() noexcept;

// Sets `failure` as the interpreter's current exception. Aborts if even that is impossible.
void raise_failure(Failure failure) noexcept;

// Sets the failure and takes it back as an exception object (for use as a __cause__).
PyRef failure_as_exception(Failure failure) noexcept;

// The interpreter's current exception after a failed call into it, as a Failure. A
// PanicException coming back from Python is resumed as an internal failure: that prints the
// exception and a report to standard error.
Failure fetch_error();

// The UTF-8 form of a str, which the interpreter keeps with the object (valid while it lives).
// nullopt, with the interpreter's error left set for the caller to handle, when it has none (a
// lone surrogate). Every reading of a str's text goes through here. An ASCII str's characters
// are its UTF-8 bytes, read without a call into the interpreter.
inline std::optional<std::string_view> utf8_view(PyObject* str) {
    if (PyUnicode_IS_ASCII(str)) {
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) return std::nullopt;
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

// The UTF-8 text of `str_obj` (a new reference or NULL, stolen). nullopt, with no exception
// left set, when there is no object or it has no UTF-8 form; for texts in messages.
std::optional<std::string> text_of(PyRef str_obj);

// A new `type(message)` exception whose __cause__ is `cause` (stolen; NULL for none).
Failure exception_with_cause(PyObject* type, std::string_view message, PyRef cause);

// New result objects. A NULL from the interpreter here is printed and becomes the internal
// failure "Python API call failed".
Result<PyRef> new_str(std::string_view text);
// The same for a text known to be all ASCII (`ascii`): its bytes are copied straight into the
// str instead of being decoded.
Result<PyRef> new_str(std::string_view text, bool ascii);
// A new str of `size` ASCII characters, to be filled in place through ascii_data() before it
// is handed on: until then its characters are undefined.
Result<PyRef> new_ascii_str(std::size_t size);
inline char* ascii_data(PyObject* ascii_str) { return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(ascii_str)); }
// Gives a str made by new_ascii_str, not yet handed on, room for `size` characters in all,
// keeping those before; it may move. False, with the interpreter's MemoryError set and the str
// unchanged, when memory runs out.
[[nodiscard]] bool resize_ascii_str(PyRef& str, std::size_t size);

// The largest ASCII text written straight into its str. A str that the interpreter cannot make is
// the internal failure "Python API call failed", while running out of memory for a native buffer
// is the caller's MemoryError (as for every native allocation). So a text is written in place only
// when its str is small enough that failing to make it means the process is out of memory
// anyway; 1 MiB is a thousand times a typical command line, and above it the extra copy through
// a native buffer costs little beside writing the text.
inline constexpr std::size_t kMaxInPlaceText = std::size_t{1} << 20;

// A new str of the `size` UTF-8 bytes that `fill(char* out)` writes. ASCII texts up to
// kMaxInPlaceText are written straight into the str's own buffer; others are made in a native
// buffer first and then converted.
template <class Fill>
Result<PyRef> new_str_filled(std::size_t size, bool ascii, Fill&& fill) {
    if (ascii && size <= kMaxInPlaceText) {
        Result<PyRef> str = new_ascii_str(size);
        if (str) fill(ascii_data(str->get()));
        return str;
    }
    std::string text(size, '\0');
    fill(text.data());
    return new_str(text, ascii);
}
Result<PyRef> new_int(long long value);
Result<PyRef> new_list(Py_ssize_t size);
inline PyRef new_ref(PyObject* singleton) { return PyRef::borrow(singleton); }

// Raises what a C++ exception escaping an operation stands for; call only inside a catch block.
void raise_current_cpp_exception() noexcept;

// Object-returning boundary: `op` returns Result<PyRef>; NULL comes back exactly when an
// exception is set.
template <class Op>
PyObject* object_boundary(Op&& op) noexcept {
    PyObject* out = nullptr;
    try {
        Result<PyRef> result = op();
        if (result.ok()) {
            out = result.value().release();
        } else {
            raise_failure(std::move(result.failure()));
        }
    } catch (...) {
        raise_current_cpp_exception();
    }
    assert((out == nullptr) == (PyErr_Occurred() != nullptr));
    return out;
}

// Release boundary (tp_dealloc): a failure is reported as unraisable, never left set. An
// exception pending when the release started is kept: a release never touches the interpreter's
// exception state itself, so that exception is set aside only when a failure is to be reported.
template <class Op>
void release_boundary(Op&& op) noexcept {
    PyObject* pending = nullptr;
    bool failed = false;
    try {
        Result<Void> result = op();
        if (!result.ok()) {
            failed = true;
            pending = PyErr_GetRaisedException();
            raise_failure(std::move(result.failure()));
        }
    } catch (...) {
        failed = true;
        pending = PyErr_GetRaisedException();
        raise_current_cpp_exception();
    }
    if (failed) {
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
}

}  // namespace tavrel
