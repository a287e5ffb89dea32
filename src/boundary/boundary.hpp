// The call boundary: every entry from the interpreter runs through one of these wrappers, which
// turn failures (and C++ exceptions) into raised Python exceptions.
#pragma once

#include <array>
#include <cassert>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <stdexcept>
#include <string_view>

#include "base/text_sink.hpp"
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

// Result strs, every one made here in one way and under one rule: a str that the interpreter
// cannot make, grow or decode for want of memory raises its MemoryError, as any native allocation
// that fails does (any other failure of the interpreter here is the internal failure "Python API
// call failed", printed first).
//
// The failure of a result str that the interpreter did not make (NULL), under the rule above.
Result<PyRef> str_failure();
// A new str of the UTF-8 `text`, decoded.
Result<PyRef> new_utf8_str(std::string_view text);
// A new str of `size` ASCII characters, undefined until written, or NULL with the interpreter's
// exception set; sizes beyond what a str can hold are a MemoryError, as the interpreter has it
// for those just below.
inline PyObject* new_ascii_str(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    return PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
}
// Its characters: a compact ASCII str, which is what that makes, keeps them right after its
// PyASCIIObject header. PyUnicode_DATA would read the str's state bits to find that out, which
// PyUnicode_New has just written; the wider read that clang made of them waited for those
// narrow writes to land, a stall on every command of the release build.
inline char* ascii_data(PyObject* ascii_str) {
    assert(PyUnicode_IS_COMPACT_ASCII(ascii_str));
    return reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(ascii_str) + 1);
}

// A new str of the UTF-8 `text`; `ascii` says it is all ASCII, and then its bytes are copied
// straight into the str instead of being decoded. Inline: the commands' strs are made here.
inline Result<PyRef> new_str(std::string_view text, bool ascii = false) {
    if (!ascii) return new_utf8_str(text);
    PyObject* const str = new_ascii_str(text.size());
    if (str == nullptr) return str_failure();
    if (!text.empty()) std::memcpy(ascii_data(str), text.data(), text.size());
    return PyRef::steal(str);
}

// A str written in place: the text goes straight into the characters of a new str, made as ASCII
// with room for an estimate and grown in place as the writer asks for more. finish() cuts it to
// the length written, or, when the text turned out not to be all ASCII (UTF-8 there, not
// characters), decodes it into a new str. Until then the str is the sink's alone.
class StrSink final : public TextSink {
public:
    // A sink with room for `capacity` bytes.
    static Result<StrSink> with_room(std::size_t capacity);
    Result<PyRef> finish();

    StrSink(StrSink&&) noexcept = default;
    StrSink& operator=(StrSink&&) noexcept = default;
    StrSink(const StrSink&) = delete;
    StrSink& operator=(const StrSink&) = delete;
    ~StrSink() = default;

private:
    explicit StrSink(PyRef str) noexcept;
    // Running out of memory here unwinds the writer, which has no failure path of its own, as
    // every native allocation does (std::bad_alloc, raised as MemoryError).
    void grow(std::size_t count) override;

    PyRef str_;
};

// The most bytes of a text written into a local buffer by new_str_written.
inline constexpr std::size_t kShortText = 4096;

// A new str of the text that `write(char* out)` writes at `out` and returns the length of: at
// most `bound` bytes, exactly `count()`; `ascii` says it is all ASCII. A short text is written
// once into a buffer here and copied into a str of its length, known only once it is written
// (the bound can be four times it); a long one is counted first and written straight into a
// StrSink of its length.
template <class Count, class Write>
Result<PyRef> new_str_written(std::size_t bound, bool ascii, Count&& count, Write&& write) {
    if (bound <= kShortText) {
        std::array<char, kShortText> text;  // NOLINT(cppcoreguidelines-pro-type-member-init): written before read
        return new_str(std::string_view(text.data(), write(text.data())), ascii);
    }
    const std::size_t size = count();
    TAVREL_TRY_SET(StrSink str, StrSink::with_room(size));
    char* const at = str.room(size);
    str.commit(at + write(at), ascii);
    return str.finish();
}

// New result objects other than strs. A NULL from the interpreter here is printed and becomes
// the internal failure "Python API call failed".
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
