// Lazily created type objects: one record per class, filled at most once per process.
#pragma once

#include <atomic>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "failure.hpp"

namespace tavrel {

using ClassAttributes = std::vector<std::pair<const char*, PyRef>>;

struct ClassDef {
    const char* name;                         // bare class name, e.g. "Tavrel"
    const char* signature;                    // "(url, ...)" for classes with a constructor, else nullptr
    std::span<const PyType_Slot> special_slots;  // Py_tp_new or the HTTPMETHOD slots, in order
    PyMethodDef* methods;                     // zero-terminated table, or nullptr
    int basicsize;
    destructor dealloc;
    // Values stored on the type right after it is made (the HTTPMETHOD members), or nullptr.
    Result<ClassAttributes> (*class_attributes)(PyTypeObject* type);
};

class LazyType {
public:
    explicit LazyType(const ClassDef& def) : def_(def) {}
    LazyType(const LazyType&) = delete;
    LazyType& operator=(const LazyType&) = delete;

    // Creates the type (and its class attributes) on first use. A failure is the RuntimeError
    // "An error occurred while initializing class <name>" caused by what went wrong.
    Result<PyTypeObject*> get_or_create();

    // Type lookup once the module is initialised: a creation failure is printed and becomes an
    // internal failure.
    Result<PyTypeObject*> lookup() {
        PyTypeObject* type = type_.load(std::memory_order_acquire);
        if (type != nullptr && attributes_filled_.load(std::memory_order_acquire)) return type;
        return lookup_slow();
    }

    const char* name() const noexcept { return def_.name; }

private:
    Result<PyTypeObject*> lookup_slow();
    Result<PyTypeObject*> create();
    Result<Void> fill_class_attributes(PyTypeObject* type);

    const ClassDef& def_;
    std::atomic<PyTypeObject*> type_{nullptr};  // one strong reference, never released
    std::once_flag doc_once_;
    std::string doc_;
    std::string qualified_name_;
    std::atomic<bool> attributes_filled_{false};
    std::mutex initializing_mutex_;
    std::vector<std::thread::id> initializing_threads_;  // guarded by initializing_mutex_
};

}  // namespace tavrel
