// Binding positional and keyword arguments to the parameters of a constructor or method.
#pragma once

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <utility>

#include "boundary.hpp"
#include "convert.hpp"

namespace tavrel {

inline constexpr std::size_t kMaxParams = 4;

// One parameter: its name and its converter, `convert(PyObject* passed, extra...) -> Result<T>`,
// which turns the object passed for it into the operation's value. An optional parameter that
// was not passed reaches its converter as None.
template <class Convert>
struct Param {
    const char* name;
    Convert convert;
};
template <class Convert>
Param(const char*, Convert) -> Param<Convert>;

// What the binder, its messages and the text signature in the documentation read: the names
// come from the parameters' declarations.
struct ArgSpec {
    const char* class_name;
    const char* function_name;
    std::span<const char* const> names;  // positional-or-keyword parameters, in order
    std::size_t required;                // the first `required` of them must be given

    // "(url, headers, method, body=None)", or for a method "($self, tavrel)": optional
    // parameters default to None.
    std::string text_signature(bool method) const;
};

// Strong references to the values a binding took from a keyword dict, released with it. Most
// calls take none, and then the release is one test, inlined into each method's code (clang left
// the release of a std::array of PyRef a call of its own on every call of every method).
class HeldObjects {
public:
    HeldObjects() = default;
    HeldObjects(const HeldObjects&) = delete;
    HeldObjects& operator=(const HeldObjects&) = delete;
    TAVREL_INLINE ~HeldObjects() {
        if (count_ != 0) release();
    }
    void hold(PyObject* obj) noexcept;  // at most kMaxParams, one per parameter

private:
    void release() noexcept;
    std::array<PyObject*, kMaxParams> objects_;  // the first count_ of them
    std::size_t count_ = 0;
};

// The objects bound to the parameters, in parameter order. They are borrowed from the call's
// arguments, which the interpreter holds until the call returns; a value taken from a keyword
// dict is also held here, since Python code that a conversion runs could change the dict.
struct BoundObjects {
    std::array<PyObject*, kMaxParams> objects{};  // None for an optional parameter not passed
    HeldObjects held;
};

// tp_new form: positional tuple and keyword dict (or NULL).
Result<Void> bind_arguments(const ArgSpec& spec, PyObject* args, PyObject* kwargs, BoundObjects& out);

// Fast-call form: argument array, positional count, keyword-name tuple (or NULL), keyword values
// following the positional ones in the array.
Result<Void> bind_arguments(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                            BoundObjects& out);

// The parameters of a constructor or method, declared once each:
//   constexpr Param kUrl{"url", extract_text};
//   constexpr Signature<kUrl, ...> kNew{"Tavrel", "__new__", /*required=*/1};
// After binding, an operation asks for each converted argument by its declaration:
//   TAVREL_TRY_SET(std::string_view url, args.get<kUrl>());
template <const auto&... Params>
class Signature {
public:
    static_assert(sizeof...(Params) <= kMaxParams, "more parameters than BoundObjects holds");
    ArgSpec spec;

    consteval Signature(const char* class_name, const char* function_name, std::size_t required = 0)
        : spec{class_name, function_name, names_, required} {
        if (required > sizeof...(Params)) throw "more required parameters than parameters";
    }

    // The bound arguments of one call.
    class Args {
    public:
        // The argument of parameter `P`, converted by its converter (given `extra` too); a failure
        // gets the argument-error rule with the parameter's name.
        template <const auto& P, class... Extra>
        auto get(Extra&&... extra) const {
            auto converted = P.convert(bound_.objects[index_of<P>()], std::forward<Extra>(extra)...);
            if (!converted.ok()) return decltype(converted)(argument_error(P.name, std::move(converted.failure())));
            return converted;
        }
        BoundObjects& objects() noexcept { return bound_; }

    private:
        BoundObjects bound_;
    };

    // The common call, every parameter given by position, needs nothing of the binder.
    Result<Void> bind(PyObject* args, PyObject* kwargs, Args& out) const {
        if (kwargs == nullptr && PyTuple_GET_SIZE(args) == sizeof...(Params)) {
            std::copy_n(&PyTuple_GET_ITEM(args, 0), sizeof...(Params), out.objects().objects.begin());
            return Void{};
        }
        return bind_arguments(spec, args, kwargs, out.objects());
    }
    Result<Void> bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Args& out) const {
        if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == sizeof...(Params)) {
            std::copy_n(args, sizeof...(Params), out.objects().objects.begin());
            return Void{};
        }
        return bind_arguments(spec, args, nargsf, kwnames, out.objects());
    }

private:
    static constexpr std::array<const char*, sizeof...(Params)> names_ = {Params.name...};

    template <const auto& P>
    static consteval std::size_t index_of() {
        std::size_t index = 0;
        std::size_t found = sizeof...(Params);
        (static_cast<void>(static_cast<const void*>(&Params) == static_cast<const void*>(&P) ? (found = index, ++index)
                                                                                             : ++index),
         ...);
        if (found == sizeof...(Params)) throw "not a parameter of this signature";
        return found;
    }
};

// Py_tp_new of a class's constructor: binds with `Sig` and hands the arguments to
// `Construct(type, args)`. (A vectorcall entry would save the argument tuple and dict, but the
// interpreter would then refuse a non-str keyword name itself, with another message.)
template <const auto& Sig, auto Construct>
PyObject* constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return object_boundary([=]() -> Result<PyRef> {
        typename std::remove_cvref_t<decltype(Sig)>::Args bound;
        TAVREL_TRY(Sig.bind(args, kwargs, bound));
        return Construct(type, bound);
    });
}

}  // namespace tavrel
