// Type records: the type object of each class, made at most once per process.
#pragma once

#include <atomic>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "failure.hpp"

namespace tavrel {

using ClassAttributes = std::vector<std::pair<const char*, PyRef>>;

// A method: its parameters (which give its name and text signature) and its entry point.
struct MethodDef {
    const ArgSpec& spec;
    PyCFunction function;
    int flags;  // METH_NOARGS, or METH_FASTCALL | METH_KEYWORDS
};

// What a class's own file writes down about it: its Python surface.
struct ClassSpec {
    const ArgSpec* constructor;                  // its text signature opens the class doc; nullptr if none
    std::span<const PyType_Slot> special_slots;  // Py_tp_new or the HTTPMETHOD slots, in order
    std::span<const MethodDef> methods;
    // Values stored on the type right after it is made (the HTTPMETHOD members), or nullptr.
    Result<ClassAttributes> (*class_attributes)(PyTypeObject* type) = nullptr;
};

// The type object of one class. Module initialisation makes every class's type, in registration
// order, through get_or_create(); a lookup after that finds it made and costs two loads. Should a
// lookup come first (no caller of this module can reach a class before its module exists), it
// makes the type itself.
class TypeRecord {
public:
    // `name`: the bare class name, e.g. "Tavrel"; `basicsize` and `dealloc` follow from the
    // class's value type (see PyClass).
    TypeRecord(const char* name, const ClassSpec& spec, int basicsize, destructor dealloc)
        : name_(name), spec_(spec), basicsize_(basicsize), dealloc_(dealloc) {}
    TypeRecord(const TypeRecord&) = delete;
    TypeRecord& operator=(const TypeRecord&) = delete;

    // Makes the type (and its class attributes) unless it exists. A failure is the RuntimeError
    // "An error occurred while initializing class <name>" caused by what went wrong.
    Result<PyTypeObject*> get_or_create();

    // Type lookup for conversions and new instances: a creation failure is printed and becomes
    // an internal failure (which writes its report to standard error).
    Result<PyTypeObject*> lookup() {
        PyTypeObject* type = type_.load(std::memory_order_acquire);
        if (type != nullptr && attributes_filled_.load(std::memory_order_acquire)) return type;
        return lookup_slow();
    }

    const char* name() const noexcept { return name_; }

private:
    Result<PyTypeObject*> lookup_slow();
    Result<PyTypeObject*> create();
    Result<Void> fill_class_attributes(PyTypeObject* type);

    // Types are made during module initialisation, with the interpreter lock held and no Python
    // code running in between; the atomics only publish the finished type to later readers.
    const char* const name_;
    const ClassSpec& spec_;
    const int basicsize_;
    const destructor dealloc_;
    std::atomic<PyTypeObject*> type_{nullptr};  // one strong reference, never released
    std::atomic<bool> attributes_filled_{false};
    // Storage the type object points into for the life of the process.
    std::string doc_;
    std::string qualified_name_;
    std::vector<std::string> method_docs_;
    std::vector<PyMethodDef> method_table_;
};

}  // namespace tavrel
