// PyClass: a Python class of the module, derived from the C++ value it wraps.
#pragma once

#include "instance.hpp"
#include "type_record.hpp"

namespace tavrel {

// A class struct `C` names its value type and writes down the rest of the class:
//   struct X : PyClass<X> { using Value = ...; static constexpr const char* name = "X";
//                           static const ClassSpec spec; };
// The instance size, the release function and the type record follow from it here. Everything
// else a new class touches (seven places in all) is listed in docs/development.md.
template <class C>
struct PyClass {
    static TypeRecord& record() {
        static TypeRecord record(C::name, C::spec, static_cast<int>(sizeof(Instance<typename C::Value>)),
                                 release_instance<C>);
        return record;
    }
    static Result<PyTypeObject*> type() { return record().lookup(); }
};

}  // namespace tavrel
