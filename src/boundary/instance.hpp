// Instance layout of the module's classes, instance creation, release, and borrows.
#pragma once

#include <atomic>
#include <new>
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
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return fetch_error();
    auto* inst = instance_of<C>(obj);
    new (&inst->value) typename C::Value(std::move(value));
    new (&inst->borrow) std::atomic<Py_ssize_t>(0);
    return PyRef::steal(obj);
}

// tp_dealloc of every class: destroys the value, frees the memory with the type's tp_free (the
// one `object` gives every heap type of ours) and drops the instance's reference to its type.
template <class C>
void release_instance(PyObject* obj) noexcept {
    release_boundary([obj]() -> Result<Void> {
        auto* inst = instance_of<C>(obj);
        using Value = typename C::Value;
        inst->value.~Value();
        inst->borrow.~atomic();
        PyTypeObject* type = Py_TYPE(obj);
        // The type is held while the memory is freed (`object`, its base, is immortal).
        PyRef type_ref = PyRef::borrow(reinterpret_cast<PyObject*>(type));
        freefunc free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        if (free_fn == nullptr) return Failure::internal("PyBaseObject_Type should have tp_free");
        free_fn(obj);
        Py_DECREF(type);  // the reference every instance of a heap type holds
        return Void{};
    });
}

// A shared borrow: keeps a strong reference and one count in the borrow state until destroyed.
template <class C>
class Shared {
public:
    using Value = typename C::Value;
    Shared(Shared&& other) noexcept = default;
    Shared& operator=(Shared&&) = delete;
    ~Shared() {
        if (ref_) {
            auto& state = instance_of<C>(ref_.get())->borrow;
            state.store(state.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        }
    }
    const Value& operator*() const noexcept { return instance_of<C>(ref_.get())->value; }
    const Value* operator->() const noexcept { return &**this; }

private:
    template <class D>
    friend Result<Shared<D>> borrow_shared(PyObject* obj);
    explicit Shared(PyObject* obj) noexcept : ref_(PyRef::borrow(obj)) {}
    PyRef ref_;
};

// An exclusive borrow: the borrow state is -1 until destroyed.
template <class C>
class Exclusive {
public:
    using Value = typename C::Value;
    Exclusive(Exclusive&& other) noexcept = default;
    Exclusive& operator=(Exclusive&&) = delete;
    ~Exclusive() {
        if (ref_) instance_of<C>(ref_.get())->borrow.store(0, std::memory_order_relaxed);
    }
    Value& operator*() const noexcept { return instance_of<C>(ref_.get())->value; }
    Value* operator->() const noexcept { return &**this; }

private:
    template <class D>
    friend Result<Exclusive<D>> borrow_exclusive(PyObject* obj);
    explicit Exclusive(PyObject* obj) noexcept : ref_(PyRef::borrow(obj)) {}
    PyRef ref_;
};

template <class C>
Result<Void> check_instance(PyObject* obj) {
    Result<PyTypeObject*> type = C::type();
    if (!type) return std::move(type.failure());
    if (Py_TYPE(obj) != *type && !PyType_IsSubtype(Py_TYPE(obj), *type)) return Failure::conversion(obj, C::name);
    return Void{};
}

// Receiver and object-argument conversion with a shared borrow.
template <class C>
Result<Shared<C>> borrow_shared(PyObject* obj) {
    if (Result<Void> checked = check_instance<C>(obj); !checked) return std::move(checked.failure());
    auto& state = instance_of<C>(obj)->borrow;
    const Py_ssize_t seen = state.load(std::memory_order_relaxed);
    if (seen == -1) return Failure::exception(PyExc_RuntimeError, "Already mutably borrowed");
    state.store(seen + 1, std::memory_order_relaxed);
    return Shared<C>(obj);
}

// Receiver conversion with an exclusive borrow.
template <class C>
Result<Exclusive<C>> borrow_exclusive(PyObject* obj) {
    if (Result<Void> checked = check_instance<C>(obj); !checked) return std::move(checked.failure());
    auto& state = instance_of<C>(obj)->borrow;
    if (state.load(std::memory_order_relaxed) != 0) return Failure::exception(PyExc_RuntimeError, "Already borrowed");
    state.store(-1, std::memory_order_relaxed);
    return Exclusive<C>(obj);
}

}  // namespace tavrel
