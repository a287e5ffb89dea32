// Binding positional and keyword arguments to the parameters of a constructor or method.
#pragma once

#include <array>
#include <span>
#include <string>

#include "boundary.hpp"

namespace tavrel {

inline constexpr std::size_t kMaxParams = 4;

// The parameters of a constructor or method: the one place their names are written. The binder,
// its messages and the text signature in the documentation all come from it.
struct ArgSpec {
    const char* class_name;
    const char* function_name;
    std::span<const char* const> names;  // positional-or-keyword parameters, in order
    std::size_t required;                // the first `required` of them must be given
    std::size_t positional_only;         // the first ones that may not be passed by keyword

    // Made at compile time only, so that a spec with more parameters than BoundArgs holds (or
    // inconsistent counts) does not compile.
    consteval ArgSpec(const char* class_name_, const char* function_name_, std::span<const char* const> names_,
                      std::size_t required_, std::size_t positional_only_ = 0)
        : class_name(class_name_),
          function_name(function_name_),
          names(names_),
          required(required_),
          positional_only(positional_only_) {
        if (names.size() > kMaxParams) throw "more parameters than kMaxParams";
        if (required > names.size() || positional_only > names.size()) throw "counts beyond the parameter list";
    }

    // "(url, headers, method, body=None)", or for a method "($self, tavrel)": optional
    // parameters default to None, and a "/" follows the positional-only ones.
    std::string text_signature(bool method) const;
};

// One strong reference per parameter, in parameter order; empty where nothing was passed.
using BoundArgs = std::array<PyRef, kMaxParams>;

// tp_new form: positional tuple and keyword dict (or NULL).
Result<BoundArgs> bind_arguments(const ArgSpec& spec, PyObject* args, PyObject* kwargs);

// Fast-call form: argument array, positional count, keyword-name tuple (or NULL), keyword values
// following the positional ones in the array.
Result<BoundArgs> bind_arguments(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// Py_tp_new of a class's constructor: binds with `Spec` and hands the result to
// `Construct(type, bound)`. (A vectorcall entry would save the argument tuple and dict, but the
// interpreter would then refuse a non-str keyword name itself, with another message.)
template <const ArgSpec& Spec, Result<PyRef> (*Construct)(PyTypeObject*, Result<BoundArgs>)>
PyObject* constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return object_boundary([=] { return Construct(type, bind_arguments(Spec, args, kwargs)); });
}

}  // namespace tavrel
