// Converting Python arguments into owned C++ values, and the argument-error rule.
#pragma once

#include <algorithm>
#include <optional>
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

// The UTF-8 text of a `str` (or subclass), valid while `obj` lives (the interpreter keeps the
// UTF-8 form with the object). Anything else is a conversion failure naming "PyString"; a `str`
// without a UTF-8 form (a lone surrogate) fails with the interpreter's encoding error.
inline Result<std::string_view> extract_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return Failure::conversion(obj, "PyString");
    std::optional<std::string_view> utf8 = utf8_view(obj);
    if (!utf8) return fetch_error();
    return *utf8;
}

// As extract_text, but None (which an optional parameter not passed also is) gives nullopt.
Result<std::optional<std::string_view>> extract_optional_text(PyObject* obj);

// Room reserved up front for the items of a sequence that is neither a list nor a tuple is
// capped here: its __len__ is only a hint, and a lying one must not make us allocate for items
// that never come. Past the cap the storage grows as the items arrive.
inline constexpr std::size_t kMaxReservedItems = std::size_t{1} << 12;

// Refuses `str` and non-sequences, gives the length to `reserve(std::size_t)` as a hint only, and
// hands the items in iteration order to `visit(PyObject* borrowed, bool held_by_sequence) ->
// Result<Void>`; the first failure ends the walk. `held_by_sequence`: the item is a list's or
// tuple's, and stays alive as long as the sequence does; otherwise the iterator handed it out and
// it lives past the visit only if the visitor takes a reference.
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
            TAVREL_TRY(visit(item, true));
        }
        return Void{};
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        Py_XDECREF(PyErr_GetRaisedException());
    } else {
        reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedItems));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return fetch_error();
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        TAVREL_TRY(visit(item.get(), false));
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
        [&](PyObject* item, bool) -> Result<Void> {
            TAVREL_TRY_SET(T converted, convert_item(item));
            items.push_back(std::move(converted));
            return Void{};
        });
    TAVREL_TRY(done);
    return items;
}

}  // namespace tavrel
