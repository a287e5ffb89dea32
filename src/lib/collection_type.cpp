// TavrelCollection: the stored list of request records, add/get, and the exported document.
#include <array>

#include "boundary/binder.hpp"
#include "lib/classes.hpp"
#include "lib/document.hpp"

namespace tavrel {
namespace {

// The constructor's `collection`: None leaves the stored list unset.
Result<StoredList> extract_stored_list(PyObject* obj) {
    if (obj == Py_None) return StoredList();
    TAVREL_TRY_SET(std::vector<Request> records, extract_sequence<Request>(obj, copy_request));
    return StoredList{{}, std::move(records)};
}

constexpr Param kCollection{"collection", extract_stored_list};
constexpr Signature<kCollection> kNew{"TavrelCollection", "__new__"};
constexpr Param kTavrel{"tavrel", borrow_shared<TavrelClass>};
constexpr Signature<kTavrel> kAdd{"TavrelCollection", "add_request", 1};
constexpr Signature<> kGet{"TavrelCollection", "get_collection"};
constexpr Signature<> kExport{"TavrelCollection", "export_collection"};

Result<PyRef> construct(PyTypeObject* type, const decltype(kNew)::Args& args) {
    TAVREL_TRY_SET(StoredList stored, args.get<kCollection>());
    return create_instance<CollectionClass>(type, std::move(stored));
}

PyObject* add_request(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return object_boundary([=]() -> Result<PyRef> {
        decltype(kAdd)::Args bound;
        TAVREL_TRY(kAdd.bind(args, nargsf, kwnames, bound));
        TAVREL_TRY_SET(Exclusive<CollectionClass> collection, receiver_exclusive<CollectionClass>(self));
        TAVREL_TRY_SET(Shared<TavrelClass> request, bound.get<kTavrel>());
        StoredList& stored = *collection;
        if (!stored.records) stored.records.emplace();
        stored.records->emplace_back(*request, stored.arena);
        return new_ref(Py_None);
    });
}

PyObject* get_collection(PyObject* self, PyObject*) {
    return object_boundary([self]() -> Result<PyRef> {
        TAVREL_TRY_SET(Shared<CollectionClass> collection, receiver_shared<CollectionClass>(self));
        const std::optional<std::vector<Request>>& stored = collection->records;
        if (!stored) return new_ref(Py_None);
        TAVREL_TRY_SET(PyTypeObject * tavrel_type, TavrelClass::type());
        TAVREL_TRY_SET(PyRef list, new_list(static_cast<Py_ssize_t>(stored->size())));
        Py_ssize_t slot = 0;
        for (const Request& record : *stored) {
            TAVREL_TRY_SET(PyRef item, create_instance<TavrelClass>(tavrel_type, record));
            PyList_SET_ITEM(list.get(), slot++, item.release());
        }
        return list;
    });
}

PyObject* export_collection(PyObject* self, PyObject*) {
    return object_boundary([self]() -> Result<PyRef> {
        TAVREL_TRY_SET(Shared<CollectionClass> collection, receiver_shared<CollectionClass>(self));
        const std::optional<std::vector<Request>>& stored = collection->records;
        std::span<const Request> records;
        if (stored) records = *stored;
        TAVREL_TRY_SET(StrSink text, StrSink::with_room(document_size_estimate(records)));
        if (const std::optional<MissingHost> missing = write_document(records, text)) {
            return Failure::exception(PyExc_ValueError, missing->message());
        }
        return text.finish();
    });
}

const MethodDef kMethods[] = {
    {kAdd.spec, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_request)),
     METH_FASTCALL | METH_KEYWORDS},
    {kGet.spec, get_collection, METH_NOARGS},
    {kExport.spec, export_collection, METH_NOARGS},
};

const std::array<PyType_Slot, 1> kSlots = {{{Py_tp_new, reinterpret_cast<void*>(constructor_new<kNew, construct>)}}};

}  // namespace

const ClassSpec CollectionClass::spec = {&kNew.spec, kSlots, kMethods};

}  // namespace tavrel
