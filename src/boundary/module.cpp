// PyInit_tavrel: the module object, its interpreter check, and class registration.
#include <atomic>
#include <cstdint>

#include "boundary/boundary.hpp"
#include "lib/classes.hpp"

namespace tavrel {
namespace {

constexpr const char* kSubinterpreterMessage =
    "tavrel modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;  // one strong reference, kept for the life of the process

// Single-phase initialisation: the module keeps process-wide state (its type objects, the cached
// module, the owning interpreter), which is what multi-phase initialisation exists to avoid, so
// it is made once and refuses other interpreters instead.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tavrel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

Result<Void> register_class(PyObject* module, TypeRecord& record) {
    TAVREL_TRY_SET(PyTypeObject * type, record.get_or_create());
    PyRef name = PyRef::steal(PyUnicode_FromString(record.name()));
    if (!name) return fetch_error();

    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        Failure error = fetch_error();
        if (error.kind() != Failure::Kind::Object ||
            !PyErr_GivenExceptionMatches(error.exception(), PyExc_AttributeError)) {
            return error;
        }
        all = PyRef::steal(PyList_New(0));
        if (!all) return fetch_error();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fetch_error();
    }
    if (!PyList_Check(all.get())) return Failure::conversion(all.get(), "PyList");
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyRef error = failure_as_exception(fetch_error());
        std::string text = "could not append __name__ to __all__";
        if (std::optional<std::string> description = text_of(PyRef::steal(PyObject_Repr(error.get())))) {
            text.append(": ").append(*description);
        }
        return Failure::internal(std::move(text));
    }
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) return fetch_error();
    return Void{};
}

Result<PyRef> make_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return fetch_error();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return Failure::exception(PyExc_ImportError, kSubinterpreterMessage);
    }
    if (cached_module != nullptr) return PyRef::borrow(cached_module);

    if (get_panic_type() == nullptr) return fetch_error();
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return fetch_error();
    for (TypeRecord* record : {&TavrelClass::record(), &CollectionClass::record(), &HttpMethodClass::record()}) {
        TAVREL_TRY(register_class(module.get(), *record));
    }
    cached_module = PyRef::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace tavrel

PyMODINIT_FUNC PyInit_tavrel() { return tavrel::object_boundary(tavrel::make_module); }
