// Type object creation from a PyType_Spec, with its class attributes.
#include "type_record.hpp"

#include <algorithm>

#include "boundary.hpp"

namespace tavrel {
namespace {

// Py_tp_new of classes without a constructor of their own.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return object_boundary([type]() -> Result<PyRef> {
        const std::string name = text_of(PyRef::steal(PyType_GetName(type))).value_or("<unknown>");
        return Failure::exception(PyExc_TypeError, "No constructor defined for " + name);
    });
}

// RuntimeError(message) whose __cause__ is the exception of `cause`.
Failure wrapped(std::string message, Failure cause) {
    PyRef cause_exc = failure_as_exception(std::move(cause));
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return fetch_error();
    PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
    if (!error) return fetch_error();
    PyException_SetCause(error.get(), cause_exc.release());
    return Failure::object(std::move(error));
}

}  // namespace

Result<PyTypeObject*> LazyType::get_or_create() {
    PyTypeObject* type = type_.load(std::memory_order_acquire);
    if (type == nullptr) {
        Result<PyTypeObject*> made = create();
        if (!made) return wrapped(std::string("An error occurred while initializing class ") + def_.name,
                                  std::move(made.failure()));
        type = *made;
    }
    if (Result<Void> filled = fill_class_attributes(type); !filled) {
        return wrapped(std::string("An error occurred while initializing class ") + def_.name,
                       std::move(filled.failure()));
    }
    return type;
}

Result<PyTypeObject*> LazyType::lookup_slow() {
    Result<PyTypeObject*> type = get_or_create();
    if (type) return type;
    raise_failure(std::move(type.failure()));
    PyErr_Print();
    return Failure::internal(std::string("failed to create type object for ") + def_.name);
}

Result<PyTypeObject*> LazyType::create() {
    std::call_once(doc_once_, [this] {
        if (def_.signature != nullptr) doc_ = std::string(def_.name) + def_.signature + "\n--\n\n";
    });
    if (doc_.find('\0') != std::string::npos) {
        return Failure::exception(PyExc_ValueError, "class doc cannot contain nul bytes");
    }
    qualified_name_ = std::string("builtins.") + def_.name;

    std::vector<PyType_Slot> slots;
    if (!doc_.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc_.c_str())});
    slots.insert(slots.end(), def_.special_slots.begin(), def_.special_slots.end());
    if (def_.methods != nullptr) slots.push_back({Py_tp_methods, def_.methods});
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    const bool has_new = std::any_of(def_.special_slots.begin(), def_.special_slots.end(),
                                     [](const PyType_Slot& s) { return s.slot == Py_tp_new; });
    if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def_.dealloc)});
    slots.push_back({0, nullptr});

    PyType_Spec spec{qualified_name_.c_str(), def_.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) return fetch_error();
    PyTypeObject* expected = nullptr;
    if (!type_.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(made), std::memory_order_acq_rel)) {
        Py_DECREF(made);  // made meanwhile by a re-entrant call; keep the first
        return expected;
    }
    return reinterpret_cast<PyTypeObject*>(made);
}

Result<Void> LazyType::fill_class_attributes(PyTypeObject* type) {
    if (attributes_filled_.load(std::memory_order_acquire)) return Void{};
    if (def_.class_attributes == nullptr) {
        attributes_filled_.store(true, std::memory_order_release);
        return Void{};
    }
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard lock(initializing_mutex_);
        // A re-entrant request from the thread that is filling gets the type as it stands.
        if (std::find(initializing_threads_.begin(), initializing_threads_.end(), self) !=
            initializing_threads_.end()) {
            return Void{};
        }
        initializing_threads_.push_back(self);
    }
    // The thread leaves the list on every way out, C++ exceptions included.
    struct Leave {
        LazyType& record;
        std::thread::id id;
        ~Leave() {
            std::lock_guard lock(record.initializing_mutex_);
            std::erase(record.initializing_threads_, id);
        }
    } leave{*this, self};

    Result<ClassAttributes> values = def_.class_attributes(type);
    if (!values) return std::move(values.failure());
    for (auto& [name, value] : *values) {
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, value.get()) < 0) {
            return wrapped(std::string("An error occurred while initializing `") + def_.name + ".__dict__`",
                           fetch_error());
        }
    }
    attributes_filled_.store(true, std::memory_order_release);
    return Void{};
}

}  // namespace tavrel
