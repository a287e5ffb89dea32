// Failures as values: a Python exception to raise, or an internal failure of the module itself.
#pragma once

#include <cassert>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>

#include "py_ref.hpp"

namespace tavrel {

class Failure {
public:
    enum class Kind : unsigned char {
        Lazy,        // exception type + message; the exception object is made when raised
        Object,      // an exception object that already exists
        Conversion,  // "'<type>' object cannot be converted to '<target>'", formed when raised
        Internal,    // raised as PanicException
    };

    // `type` is borrowed (usually a PyExc_* constant).
    static Failure exception(PyObject* type, std::string message) {
        return Failure(Kind::Lazy, PyRef::borrow(type), std::move(message));
    }
    // Steals `exc`, an exception instance.
    static Failure object(PyRef exc) { return Failure(Kind::Object, std::move(exc), {}); }
    // `target` names what the object could not become ("PyString", "Tavrel", ...).
    static Failure conversion(PyObject* obj, const char* target) {
        return Failure(Kind::Conversion, PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))), target);
    }
    // Side effect: writes the failure report (thread, source location, message) to standard
    // error at once, where the failure happens.
    static Failure internal(std::string message, std::source_location where = std::source_location::current());

    Kind kind() const noexcept { return kind_; }
    // Lazy: the type of the exception to make.
    PyObject* exception_type() const noexcept {
        assert(kind_ == Kind::Lazy);
        return ref_.get();
    }
    // Object: the exception itself.
    PyObject* exception() const noexcept {
        assert(kind_ == Kind::Object);
        return ref_.get();
    }
    PyRef take_exception() noexcept {
        assert(kind_ == Kind::Object);
        return std::move(ref_);
    }
    // Conversion: the type of the object that could not be converted.
    PyObject* unconverted_type() const noexcept {
        assert(kind_ == Kind::Conversion);
        return ref_.get();
    }
    // Lazy and Internal: the message; Conversion: the target name.
    const std::string& text() const noexcept { return text_; }

private:
    Failure(Kind kind, PyRef ref, std::string text) : kind_(kind), ref_(std::move(ref)), text_(std::move(text)) {}
    Kind kind_;
    PyRef ref_;  // what it is depends on the kind: see the accessors above
    std::string text_;
};

// The value of an operation that has nothing to return.
struct Void {};

// Either a value or a Failure. A tagged union rather than std::variant: every call returns one,
// and libc++'s variant (the release wheels' standard library) moves and destroys its alternatives
// through a table of function pointers, calls that the compiler cannot inline away.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)), ok_(true) {}
    Result(Failure failure) : failure_(std::move(failure)), ok_(false) {}
    Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(other.ok_) {
        if (ok_) {
            std::construct_at(&value_, std::move(other.value_));
        } else {
            std::construct_at(&failure_, std::move(other.failure_));
        }
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    Result& operator=(Result&&) = delete;
    TAVREL_INLINE ~Result() {
        if (ok_) {
            std::destroy_at(&value_);
        } else {
            std::destroy_at(&failure_);
        }
    }

    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    T& value() noexcept {
        assert(ok_);
        return value_;
    }
    T& operator*() noexcept { return value(); }
    T* operator->() noexcept { return &value(); }
    Failure& failure() noexcept {
        assert(!ok_);
        return failure_;
    }

private:
    union {
        T value_;
        Failure failure_;
    };
    bool ok_;
};

// Passing a failure on, the one way it is done: `TAVREL_TRY(expr);` evaluates the Result `expr`
// and returns its failure from the enclosing function; `TAVREL_TRY_SET(auto x, expr);` does the
// same and otherwise declares (or assigns) `x` from its value.
#define TAVREL_TRY(expr)                                                  \
    do {                                                                  \
        if (auto&& tavrel_try_result = (expr); !tavrel_try_result.ok()) { \
            return std::move(tavrel_try_result.failure());                \
        }                                                                 \
    } while (false)
#define TAVREL_TRY_SET(decl, expr) TAVREL_TRY_SET_IMPL(TAVREL_TRY_JOIN(tavrel_try_result_, __LINE__), decl, expr)
#define TAVREL_TRY_SET_IMPL(result, decl, expr)           \
    auto&& result = (expr);                               \
    if (!result.ok()) return std::move(result.failure()); \
    decl = std::move(result.value())
#define TAVREL_TRY_JOIN(a, b) TAVREL_TRY_JOIN_IMPL(a, b)
#define TAVREL_TRY_JOIN_IMPL(a, b) a##b

}  // namespace tavrel
