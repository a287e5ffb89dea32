// Raising failures, PanicException, fetching the interpreter's exception and result objects.
#include "boundary.hpp"

#include <atomic>
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
}  // namespace

Result<PyRef> new_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
Result<PyRef> new_str(std::string_view text, bool ascii) {
    if (!ascii) return new_str(text);
    Result<PyRef> str = new_ascii_str(text.size());
    if (str && !text.empty()) std::memcpy(ascii_data(str->get()), text.data(), text.size());
    return str;
}
Result<PyRef> new_ascii_str(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::length_error("str too long");
    return checked(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
}
bool resize_ascii_str(PyRef& str, std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::length_error("str too long");
    // Resized in place: the str has one reference (ours), was never hashed and is not interned.
    PyObject* resized = str.release();
    const int failed = PyUnicode_Resize(&resized, static_cast<Py_ssize_t>(size));
    str = PyRef::steal(resized);  // on failure the str as it was
    return failed == 0;
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
