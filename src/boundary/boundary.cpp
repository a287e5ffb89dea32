// Raising failures, PanicException, fetching the interpreter's exception and result objects.
#include "boundary.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavrel {
namespace {

constexpr const char* kLayerName = "tavrel";
constexpr const char* kDefaultPanicText = "tavrel: the native code failed without a message";
constexpr const char* kPanicDoc =
    "\nRaised when tavrel's native code fails while it is called from Python.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Made once (module initialisation asks for it first) and kept for the life of the process.
std::atomic<PyObject*> panic_type{nullptr};

[[noreturn]] void abort_uncaught() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// The qualified name of a type for conversion messages.
std::string qualified_type_name(PyObject* type) {
    return text_of(PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type))))
        .value_or("<failed to extract type name>");
}

void set_lazy(PyObject* type, const std::string& message) {
    if (!PyExceptionClass_Check(type)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    PyRef value = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (value) PyErr_SetObject(type, value.get());
}

}  // namespace

PyObject* get_panic_type() noexcept {
    if (PyObject* t = panic_type.load(std::memory_order_acquire)) return t;
    PyObject* made = PyErr_NewExceptionWithDoc("tavrel.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);  // another entry made it first; keep theirs
        return expected;
    }
    return made;
}

std::optional<std::string> text_of(PyRef str_obj) {
    std::optional<std::string_view> text = str_obj ? utf8_view(str_obj.get()) : std::nullopt;
    if (!text) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(*text);
}

Failure exception_with_cause(PyObject* type, std::string_view message, PyRef cause) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return fetch_error();
    PyRef error = PyRef::steal(PyObject_CallOneArg(type, text.get()));
    if (!error) return fetch_error();
    PyException_SetCause(error.get(), cause.release());  // steals the cause
    return Failure::object(std::move(error));
}

Failure Failure::internal(std::string message, std::source_location where) {
    std::string_view file = where.file_name();
    if (std::size_t src = file.rfind("src/"); src != std::string_view::npos) file.remove_prefix(src);
    std::fprintf(stderr, "tavrel: internal failure in thread %lu at %.*s:%u:\n  %s\n", PyThread_get_thread_ident(),
                 static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
                 message.empty() ? kDefaultPanicText : message.c_str());
    std::fflush(stderr);
    if (message.empty()) message = kDefaultPanicText;
    return Failure(Kind::Internal, PyRef(), std::move(message));
}

void raise_failure(Failure failure) noexcept {
    try {
        switch (failure.kind()) {
            case Failure::Kind::Lazy: set_lazy(failure.exception_type(), failure.text()); return;
            case Failure::Kind::Object: PyErr_SetRaisedException(failure.take_exception().release()); return;
            case Failure::Kind::Conversion: {
                // Appended piece by piece: `"'" + std::string` trips GCC 12's -Wrestrict.
                std::string message = "'";
                message.append(qualified_type_name(failure.unconverted_type()))
                    .append("' object cannot be converted to '")
                    .append(failure.text())
                    .append("'");
                set_lazy(PyExc_TypeError, message);
                return;
            }
            case Failure::Kind::Internal: {
                // Should the type itself be impossible to make (memory exhausted), the error of
                // making it is raised instead: the caller gets MemoryError, not a dead process.
                if (PyObject* type = get_panic_type()) set_lazy(type, failure.text());
                return;
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    } catch (...) {
        abort_uncaught();
    }
    abort_uncaught();
}

PyRef failure_as_exception(Failure failure) noexcept {
    raise_failure(std::move(failure));
    return PyRef::steal(PyErr_GetRaisedException());
}

Failure fetch_error() {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) return Failure::exception(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyObject* panic = panic_type.load(std::memory_order_acquire);
    if (panic != nullptr && PyErr_GivenExceptionMatches(exc.get(), panic)) {
        std::fprintf(stderr, "--- %s is resuming a panic after fetching a PanicException from Python. ---\n",
                     kLayerName);
        std::fputs("Python stack trace below:\n", stderr);
        std::fflush(stderr);
        std::string message = text_of(PyRef::steal(PyObject_Str(exc.get()))).value_or("");
        PyErr_SetRaisedException(exc.release());
        PyErr_PrintEx(0);
        return Failure::internal(std::move(message));
    }
    return Failure::object(std::move(exc));
}

namespace {
// `made`, or when it is NULL: prints the interpreter's exception and a failure report, and
// returns the internal failure.
Result<PyRef> checked(PyObject* made) {
    if (made != nullptr) return PyRef::steal(made);
    PyErr_Print();
    return Failure::internal("Python API call failed");
}

// Gives a str made by new_ascii_str, not yet handed on, room for `size` characters in all,
// keeping those before; it may move. False, with the interpreter's MemoryError set and the str
// unchanged, when memory runs out.
bool resize_ascii_str(PyRef& str, std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return false;
    }
    // Resized in place: the str has one reference (ours), was never hashed and is not interned.
    PyObject* resized = str.release();
    const int failed = PyUnicode_Resize(&resized, static_cast<Py_ssize_t>(size));
    str = PyRef::steal(resized);  // on failure the str as it was
    return failed == 0;
}

}  // namespace

// The interpreter's MemoryError as it is (the rule of every result str), anything else as
// checked() has it.
Result<PyRef> str_failure() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return fetch_error();
    return checked(nullptr);
}

Result<PyRef> new_utf8_str(std::string_view text) {
    PyObject* const str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (str == nullptr) return str_failure();
    return PyRef::steal(str);
}

StrSink::StrSink(PyRef str) noexcept : str_(std::move(str)) {
    begin_ = cursor_ = ascii_data(str_.get());
    limit_ = begin_ + PyUnicode_GET_LENGTH(str_.get());
}

Result<StrSink> StrSink::with_room(std::size_t capacity) {
    PyObject* const str = new_ascii_str(capacity);
    if (str == nullptr) return std::move(str_failure().failure());
    return StrSink(PyRef::steal(str));
}

Result<PyRef> StrSink::finish() {
    const std::size_t size = this->size();
    if (!ascii()) return new_utf8_str(std::string_view(begin_, size));
    if (!resize_ascii_str(str_, size)) return str_failure();
    return std::move(str_);
}

namespace {
// glibc's malloc serves a block from its heap, pages already touched and reused, once a block at
// least as large has been freed, up to this size; a larger block is mapped afresh each time and
// every page of it faults when first written.
constexpr std::size_t kHeapBlockCeiling = std::size_t{32} << 20;

// Half as much again, but not just across the ceiling: a str that fits below it stays there.
constexpr std::size_t grown_capacity(std::size_t capacity) {
    const std::size_t grown = capacity + capacity / 2;
    const std::size_t below = kHeapBlockCeiling - (std::size_t{1} << 16);
    return capacity < below && grown > below ? below : grown;
}
}  // namespace

void StrSink::grow(std::size_t count) {
    const std::size_t size = this->size();
    const auto capacity = static_cast<std::size_t>(limit_ - begin_);
    if (count > SIZE_MAX / 2 - size) throw std::bad_alloc();
    const std::size_t grown = std::max(grown_capacity(capacity), size + count);
    if (!resize_ascii_str(str_, grown)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    begin_ = ascii_data(str_.get());
    cursor_ = begin_ + size;
    limit_ = begin_ + grown;
}

Result<PyRef> new_int(long long value) { return checked(PyLong_FromLongLong(value)); }
Result<PyRef> new_list(Py_ssize_t size) { return checked(PyList_New(size)); }

void raise_current_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        raise_failure(Failure::internal("capacity overflow"));
    } catch (const std::exception& e) {
        raise_failure(Failure::internal(e.what()));
    } catch (...) {
        raise_failure(Failure::internal(""));
    }
}

}  // namespace tavrel
