// Argument conversion helpers shared by the classes.
#include "convert.hpp"

namespace tavrel {

std::string object_text(PyObject* obj) {
    PyRef text = PyRef::steal(PyObject_Str(obj));
    Py_ssize_t size = 0;
    if (const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_WriteUnraisable(obj);
    std::optional<std::string> name = text_of(PyRef::steal(PyType_GetName(Py_TYPE(obj))));
    return name ? "<unprintable " + *name + " object>" : "<unprintable object>";
}

Failure argument_error(const char* param, Failure failure) {
    std::string prefix = std::string("argument '") + param + "': ";
    switch (failure.kind()) {
        case Failure::Kind::Lazy:
            if (failure.object_ref() != PyExc_TypeError) return failure;
            break;
        case Failure::Kind::Conversion:
            break;
        case Failure::Kind::Object:
            if (Py_TYPE(failure.object_ref()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return failure;
            break;
        case Failure::Kind::Internal:
            return failure;
    }
    // Materialise the exception being replaced so that its text and cause are read the same way
    // whatever form it was held in.
    PyRef replaced = failure_as_exception(std::move(failure));
    if (!replaced) return fetch_error();
    // Making the exception may itself have failed (MemoryError): that one passes unchanged.
    if (Py_TYPE(replaced.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        return Failure::object(std::move(replaced));
    }
    const std::string text = prefix + object_text(replaced.get());
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return fetch_error();
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return fetch_error();
    PyException_SetCause(replacement.get(), PyException_GetCause(replaced.get()));  // steals the new ref
    return Failure::object(std::move(replacement));
}

Result<std::string_view> extract_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return Failure::conversion(obj, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return fetch_error();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

}  // namespace tavrel
