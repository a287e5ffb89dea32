// Converting Python arguments into owned C++ values, and the argument-error rule.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
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

// The UTF-8 text of a `str` (or subclass), valid while `obj` lives (the interpreter keeps the
// UTF-8 form with the object). Anything else is a conversion failure naming "PyString"; a `str`
// without a UTF-8 form (a lone surrogate) fails with the interpreter's encoding error.
Result<std::string_view> extract_text(PyObject* obj);

// Refuses `str` and non-sequences, gives the length to `reserve(std::size_t)` as a hint only, and
// hands the items in iteration order to `visit(PyObject* borrowed) -> Result<Void>`; the first
// failure ends the walk.
template <class Reserve, class Visit>
Result<Void> visit_sequence(PyObject* obj, Reserve&& reserve, Visit&& visit) {
    if (PyUnicode_Check(obj)) return Failure::exception(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) return Failure::conversion(obj, "Sequence");
    // Lists and tuples are read by index: their iterators give the same items in the same order,
    // and no Python code runs between two reads that could change the list.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        const bool list = PyList_CheckExact(obj);
        reserve(static_cast<std::size_t>(Py_SIZE(obj)));
        for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
            PyObject* item = list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
            if (Result<Void> done = visit(item); !done) return std::move(done.failure());
        }
        return Void{};
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        Py_XDECREF(PyErr_GetRaisedException());
    } else {
        // A hint only: a lying __len__ must not make us allocate for items that never come.
        reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 12)));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return fetch_error();
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        if (Result<Void> done = visit(item.get()); !done) return std::move(done.failure());
    }
    if (PyErr_Occurred()) return fetch_error();
    return Void{};
}

// The items of a sequence (as for visit_sequence) converted with
// `convert_item(PyObject* borrowed) -> Result<T>`.
template <class T, class ConvertItem>
Result<std::vector<T>> extract_sequence(PyObject* obj, ConvertItem&& convert_item) {
    std::vector<T> items;
    Result<Void> done = visit_sequence(
        obj, [&](std::size_t count) { items.reserve(count); },
        [&](PyObject* item) -> Result<Void> {
            Result<T> converted = convert_item(item);
            if (!converted) return std::move(converted.failure());
            items.push_back(std::move(converted.value()));
            return Void{};
        });
    if (!done) return std::move(done.failure());
    return items;
}

}  // namespace tavrel
