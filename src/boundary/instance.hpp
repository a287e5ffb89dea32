// Instance layout of the module's classes, instance creation, release, and borrows.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "boundary.hpp"

namespace tavrel {

// Header, the owned value, then the borrow state (0 free, n > 0 shared, -1 exclusive). Every
// access to the borrow state happens with the interpreter lock held, which orders them; so it
// is read and written with plain (relaxed) loads and stores, never with locked instructions.
template <class T>
struct Instance {
    PyObject ob_base;  // what PyObject_HEAD declares
    T value;
    std::atomic<Py_ssize_t> borrow;
};

// `C` is a class struct (see PyClass): it names its value type, its name and its type lookup.
template <class C>
Instance<typename C::Value>* instance_of(PyObject* obj) noexcept {
    return reinterpret_cast<Instance<typename C::Value>*>(obj);
}

// Allocates an instance of `type` around `value`. On allocation failure the value is dropped
// with the Result and the interpreter's exception (normally MemoryError) is returned.
template <class C>
Result<PyRef> create_instance(PyTypeObject* type, typename C::Value value) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return fetch_error();
    auto* inst = instance_of<C>(obj);
    new (&inst->value) C::Value(std::move(value));
    new (&inst->borrow) std::atomic<Py_ssize_t>(0);
    return PyRef::steal(obj);
}

// tp_dealloc of every class: destroys the value, frees the memory with the type's tp_free (the
// one `object` gives every heap type of ours) and drops the instance's reference to its type.
template <class C>
void release_instance(PyObject* obj) noexcept {
    release_boundary([obj]() -> Result<Void> {
        auto* inst = instance_of<C>(obj);
        using Value = C::Value;
        inst->value.~Value();
        inst->borrow.~atomic();
        PyTypeObject* type = Py_TYPE(obj);
        // The type is held while the memory is freed (`object`, its base, is immortal).
        PyRef type_ref = PyRef::borrow(reinterpret_cast<PyObject*>(type));
        freefunc free_fn = type->tp_free;
        if (free_fn == nullptr) return Failure::internal("PyBaseObject_Type should have tp_free");
        free_fn(obj);
        Py_DECREF(type);  // the reference every instance of a heap type holds
        return Void{};
    });
}

// What a kind of borrow does to the borrow state, and what it lets its holder do with the value.
struct SharedAccess {
    static constexpr bool exclusive = false;
    static constexpr const char* conflict = "Already mutably borrowed";
    static bool acquire(Py_ssize_t seen) noexcept { return seen != -1; }
    static Py_ssize_t taken(Py_ssize_t seen) noexcept { return seen + 1; }
    static Py_ssize_t released(Py_ssize_t seen) noexcept { return seen - 1; }
};
struct ExclusiveAccess {
    static constexpr bool exclusive = true;
    static constexpr const char* conflict = "Already borrowed";
    static bool acquire(Py_ssize_t seen) noexcept { return seen == 0; }
    static Py_ssize_t taken(Py_ssize_t) noexcept { return -1; }
    static Py_ssize_t released(Py_ssize_t) noexcept { return 0; }
};

// A borrow of an instance's value, held until destroyed. It keeps no reference of its own: the
// object is the receiver or an argument of the running call (which the interpreter holds until
// the call returns) or an item that the caller holds while the borrow lives.
template <class C, class Access>
class Borrow {
public:
    using Value = std::conditional_t<Access::exclusive, typename C::Value, const typename C::Value>;
    Borrow(Borrow&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (obj_ != nullptr) {
            auto& state = instance_of<C>(obj_)->borrow;
            state.store(Access::released(state.load(std::memory_order_relaxed)), std::memory_order_relaxed);
        }
    }
    Value& operator*() const noexcept { return instance_of<C>(obj_)->value; }
    Value* operator->() const noexcept { return &**this; }

    // Checks that `obj` is an instance of `C` (or of a subclass) and takes the borrow.
    TAVREL_INLINE static Result<Borrow> take(PyObject* obj) {
        TAVREL_TRY_SET(PyTypeObject * type, C::type());
        if (Py_TYPE(obj) != type && !PyType_IsSubtype(Py_TYPE(obj), type)) return Failure::conversion(obj, C::name);
        return take_borrow(obj);
    }

    // Takes the borrow of the receiver of one of C's methods, whose type the method's descriptor
    // has checked before the call (TypeError "descriptor ... doesn't apply to ..." otherwise).
    TAVREL_INLINE static Result<Borrow> take_receiver(PyObject* self) { return take_borrow(self); }

private:
    explicit Borrow(PyObject* obj) noexcept : obj_(obj) {}

    TAVREL_INLINE static Result<Borrow> take_borrow(PyObject* obj) {
        auto& state = instance_of<C>(obj)->borrow;
        const Py_ssize_t seen = state.load(std::memory_order_relaxed);
        if (!Access::acquire(seen)) return Failure::exception(PyExc_RuntimeError, Access::conflict);
        state.store(Access::taken(seen), std::memory_order_relaxed);
        return Borrow(obj);
    }

    PyObject* obj_;
};

template <class C>
using Shared = Borrow<C, SharedAccess>;
template <class C>
using Exclusive = Borrow<C, ExclusiveAccess>;

// An argument (or a slot's receiver, or any object) checked to be a C and borrowed shared.
template <class C>
TAVREL_INLINE Result<Shared<C>> borrow_shared(PyObject* obj) {
    return Shared<C>::take(obj);
}

// The receiver of a method of C, borrowed shared or exclusive (see Borrow::take_receiver).
template <class C>
TAVREL_INLINE Result<Shared<C>> receiver_shared(PyObject* self) {
    return Shared<C>::take_receiver(self);
}
template <class C>
TAVREL_INLINE Result<Exclusive<C>> receiver_exclusive(PyObject* self) {
    return Exclusive<C>::take_receiver(self);
}

}  // namespace tavrel
