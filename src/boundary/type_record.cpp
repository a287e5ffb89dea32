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
Failure wrapped(std::string_view message, Failure cause) {
    return exception_with_cause(PyExc_RuntimeError, message, failure_as_exception(std::move(cause)));
}

}  // namespace

Result<PyTypeObject*> TypeRecord::get_or_create() {
    PyTypeObject* type = type_.load(std::memory_order_acquire);
    if (type == nullptr) {
        Result<PyTypeObject*> made = create();
        if (!made)
            return wrapped(std::string("An error occurred while initializing class ") + name_,
                           std::move(made.failure()));
        type = *made;
    }
    if (Result<Void> filled = fill_class_attributes(type); !filled.ok()) {
        return wrapped(std::string("An error occurred while initializing class ") + name_, std::move(filled.failure()));
    }
    return type;
}

Result<PyTypeObject*> TypeRecord::lookup_slow() {
    Result<PyTypeObject*> type = get_or_create();
    if (type) return type;
    raise_failure(std::move(type.failure()));
    PyErr_Print();
    return Failure::internal(std::string("failed to create type object for ") + name_);
}

Result<PyTypeObject*> TypeRecord::create() {
    const ClassSpec& spec = spec_;
    if (spec.constructor != nullptr) doc_ = name_ + spec.constructor->text_signature(false) + "\n--\n\n";
    // The type names say "builtins." so that the classes present themselves as built-in ones
    // (repr "<class 'builtins.Tavrel'>"), which is how callers have always seen them.
    qualified_name_ = std::string("builtins.") + name_;

    // The docs are complete before the table points into them, so their texts never move.
    method_docs_.clear();
    method_table_.clear();
    for (const MethodDef& method : spec.methods) {
        method_docs_.push_back(method.spec.function_name + method.spec.text_signature(true) + "\n--\n\n");
    }
    for (std::size_t i = 0; i < spec.methods.size(); ++i) {
        const MethodDef& method = spec.methods[i];
        method_table_.push_back({method.spec.function_name, method.function, method.flags, method_docs_[i].c_str()});
    }
    method_table_.push_back({nullptr, nullptr, 0, nullptr});

    std::vector<PyType_Slot> slots;
    if (!doc_.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc_.c_str())});
    slots.insert(slots.end(), spec.special_slots.begin(), spec.special_slots.end());
    if (!spec.methods.empty()) slots.push_back({Py_tp_methods, method_table_.data()});
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    const bool has_new = std::any_of(spec.special_slots.begin(), spec.special_slots.end(),
                                     [](const PyType_Slot& s) { return s.slot == Py_tp_new; });
    if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_)});
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{qualified_name_.c_str(), basicsize_, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* made = PyType_FromSpec(&type_spec);
    if (made == nullptr) return fetch_error();
    type_.store(reinterpret_cast<PyTypeObject*>(made), std::memory_order_release);
    return reinterpret_cast<PyTypeObject*>(made);
}

Result<Void> TypeRecord::fill_class_attributes(PyTypeObject* type) {
    if (attributes_filled_.load(std::memory_order_acquire)) return Void{};
    if (spec_.class_attributes == nullptr) {
        attributes_filled_.store(true, std::memory_order_release);
        return Void{};
    }
    TAVREL_TRY_SET(ClassAttributes values, spec_.class_attributes(type));
    for (auto& [name, value] : values) {
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, value.get()) < 0) {
            return wrapped(std::string("An error occurred while initializing `") + name_ + ".__dict__`", fetch_error());
        }
    }
    attributes_filled_.store(true, std::memory_order_release);
    return Void{};
}

}  // namespace tavrel
