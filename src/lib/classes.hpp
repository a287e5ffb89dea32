// The module's three Python classes: value types, names and type records.
#pragma once

#include <optional>
#include <vector>

#include "boundary/convert.hpp"
#include "boundary/py_class.hpp"
#include "lib/http_method.hpp"
#include "lib/request.hpp"

namespace tavrel {

struct HttpMethodClass : PyClass<HttpMethodClass> {
    using Value = HttpMethod;
    static constexpr const char* name = "HTTPMETHOD";
    static const ClassSpec spec;
};

struct TavrelClass : PyClass<TavrelClass> {
    using Value = Request;
    static constexpr const char* name = "Tavrel";
    static const ClassSpec spec;
};

// The arena of a stored list, a base of it: a base is made before the members and destroyed after
// them, so the records always go before the arena their blocks come from.
struct StoredArena {
    RecordArena arena;
};

// The stored list: nullopt while unset, which differs from an empty list. The records that
// add_request copies in take their blocks from `arena`.
struct StoredList : StoredArena {
    std::optional<std::vector<Request>> records;
};

struct CollectionClass : PyClass<CollectionClass> {
    using Value = StoredList;
    static constexpr const char* name = "TavrelCollection";
    static const ClassSpec spec;
};

// The `method` argument: a HTTPMETHOD member, read under a shared borrow.
Result<HttpMethod> extract_method(PyObject* obj);

// A deep copy of the record of a Tavrel object, read under a shared borrow.
Result<Request> copy_request(PyObject* obj);

}  // namespace tavrel
