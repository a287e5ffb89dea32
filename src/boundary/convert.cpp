// Argument conversion helpers shared by the classes.
#include "convert.hpp"

namespace tavrel {

std::string object_text(PyObject* obj) {
    PyRef text = PyRef::steal(PyObject_Str(obj));
    if (std::optional<std::string_view> utf8 = text ? utf8_view(text.get()) : std::nullopt) return std::string(*utf8);
    PyErr_WriteUnraisable(obj);
    std::optional<std::string> name = text_of(PyRef::steal(PyType_GetName(Py_TYPE(obj))));
    return name ? "<unprintable " + *name + " object>" : "<unprintable object>";
}

Failure argument_error(const char* param, Failure failure) {
    std::string prefix = std::string("argument '") + param + "': ";
    switch (failure.kind()) {
        case Failure::Kind::Lazy:
            if (failure.exception_type() != PyExc_TypeError) return failure;
            break;
        case Failure::Kind::Conversion: break;
        case Failure::Kind::Object:
            if (Py_TYPE(failure.exception()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return failure;
            break;
        case Failure::Kind::Internal: return failure;
    }
    // Materialise the exception being replaced so that its text and cause are read the same way
    // whatever form it was held in.
    PyRef replaced = failure_as_exception(std::move(failure));
    if (!replaced) return fetch_error();
    // Making the exception may itself have failed (MemoryError): that one passes unchanged.
    if (Py_TYPE(replaced.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        return Failure::object(std::move(replaced));
    }
    const std::string text = prefix + object_text(replaced.get());  // may run the exception's __str__
    return exception_with_cause(PyExc_TypeError, text, PyRef::steal(PyException_GetCause(replaced.get())));
}

Result<std::optional<std::string_view>> extract_optional_text(PyObject* obj) {
    if (obj == Py_None) return std::optional<std::string_view>();
    TAVREL_TRY_SET(std::string_view text, extract_text(obj));
    return std::optional<std::string_view>(text);
}

}  // namespace tavrel
