// HTTPMETHOD: the enumeration class, its nine members, repr/int/equality.
#include <array>

#include "lib/classes.hpp"

namespace tavrel {
namespace {

// repr() of each member, by value.
constexpr std::array<std::string_view, kMethodCount> kMethodReprs = {
    "HTTPMETHOD.GET",     "HTTPMETHOD.POST",  "HTTPMETHOD.PUT",   "HTTPMETHOD.DELETE", "HTTPMETHOD.HEAD",
    "HTTPMETHOD.OPTIONS", "HTTPMETHOD.PATCH", "HTTPMETHOD.TRACE", "HTTPMETHOD.CONNECT"};

PyObject* method_repr_slot(PyObject* self) {
    return object_boundary([self]() -> Result<PyRef> {
        TAVREL_TRY_SET(Shared<HttpMethodClass> member, borrow_shared<HttpMethodClass>(self));
        return new_str(kMethodReprs[static_cast<std::size_t>(*member)]);
    });
}

PyObject* method_int_slot(PyObject* self) {
    return object_boundary([self]() -> Result<PyRef> {
        TAVREL_TRY_SET(Shared<HttpMethodClass> member, borrow_shared<HttpMethodClass>(self));
        return new_int(static_cast<long long>(*member));
    });
}

// Only == and != between two members are answered; everything else is NotImplemented, so no
// integer or text ever compares equal to a member.
PyObject* method_richcompare_slot(PyObject* self, PyObject* other, int op) {
    return object_boundary([=]() -> Result<PyRef> {
        Result<Shared<HttpMethodClass>> lhs = borrow_shared<HttpMethodClass>(self);
        if (!lhs || op < Py_LT || op > Py_GE) return new_ref(Py_NotImplemented);
        Result<Shared<HttpMethodClass>> rhs = borrow_shared<HttpMethodClass>(other);
        if (!rhs) return new_ref(Py_NotImplemented);
        if (op == Py_EQ) return new_ref(**lhs == **rhs ? Py_True : Py_False);
        if (op == Py_NE) return new_ref(**lhs != **rhs ? Py_True : Py_False);
        return new_ref(Py_NotImplemented);
    });
}

Result<ClassAttributes> make_members(PyTypeObject* type) {
    ClassAttributes members;
    members.reserve(kMethodCount);
    for (std::size_t i = 0; i < kMethodCount; ++i) {
        TAVREL_TRY_SET(PyRef member, create_instance<HttpMethodClass>(type, static_cast<HttpMethod>(i)));
        members.emplace_back(kMethodTexts[i].data(), std::move(member));
    }
    return members;
}

const std::array<PyType_Slot, 3> kSlots = {{
    {Py_tp_repr, reinterpret_cast<void*>(method_repr_slot)},
    {Py_nb_int, reinterpret_cast<void*>(method_int_slot)},
    {Py_tp_richcompare, reinterpret_cast<void*>(method_richcompare_slot)},
}};

}  // namespace

const ClassSpec HttpMethodClass::spec = {nullptr, kSlots, {}, make_members};

Result<HttpMethod> extract_method(PyObject* obj) {
    TAVREL_TRY_SET(Shared<HttpMethodClass> member, borrow_shared<HttpMethodClass>(obj));
    return *member;
}

}  // namespace tavrel
