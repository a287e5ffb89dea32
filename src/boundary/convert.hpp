// Converting Python arguments into owned C++ values, and the argument-error rule.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "boundary.hpp"

namespace tavrel {

// str() of `obj` for messages; an unprintable object is reported as unraisable and described.
std::string object_text(PyObject* obj);

// The argument-error rule: a failure whose type is exactly TypeError becomes
// TypeError("argument '<param>': <text>") with the replaced exception's cause as its cause.
Failure argument_error(const char* param, Failure failure);

template <class T>
Result<T> for_argument(const char* param, Result<T> result) {
    if (result) return result;
    return argument_error(param, std::move(result.failure()));
}

// A `str` (or subclass) as UTF-8 text; anything else is a conversion failure naming "PyString".
Result<std::string> extract_text(PyObject* obj);

// Refuses `str` and non-sequences, takes the length as a reservation hint only, and converts
// the items in iteration order with `convert_item(PyObject* borrowed) -> Result<T>`.
template <class T, class ConvertItem>
Result<std::vector<T>> extract_sequence(PyObject* obj, ConvertItem&& convert_item) {
    if (PyUnicode_Check(obj)) return Failure::exception(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) return Failure::conversion(obj, "Sequence");
    std::vector<T> items;
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        Py_XDECREF(PyErr_GetRaisedException());
    } else {
        // A hint only: a lying __len__ must not make us allocate for items that never come.
        items.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 12)));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return fetch_error();
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        Result<T> converted = convert_item(item.get());
        if (!converted) return std::move(converted.failure());
        items.push_back(std::move(converted.value()));
    }
    if (PyErr_Occurred()) return fetch_error();
    return items;
}

}  // namespace tavrel
