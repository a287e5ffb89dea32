// Tavrel: the request class, its constructor and get_request_command.
#include <array>
#include <cstddef>
#include <vector>

#include "boundary/binder.hpp"
#include "lib/classes.hpp"
#include "lib/command.hpp"

namespace tavrel {
namespace {

// The texts of the header pairs go straight into `texts`, as views of the pairs' str objects.
// Those live as long as their tuples: a list's or tuple's are held by it for the whole call (no
// Python code runs that could change it), and the tuples an iterator hands out are kept in
// `items` until the record is made.
struct HeaderTexts {
    Request::Texts& texts;
    std::vector<PyRef>& items;
};

Result<Void> extract_header(PyObject* item, Request::Texts& texts) {
    if (!PyTuple_Check(item)) return Failure::conversion(item, "PyTuple");
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2) {
        return Failure::exception(PyExc_ValueError,
                                  "expected tuple of length 2, but got tuple of length " + std::to_string(size));
    }
    TAVREL_TRY_SET(std::string_view key, extract_text(PyTuple_GET_ITEM(item, 0)));
    TAVREL_TRY_SET(std::string_view value, extract_text(PyTuple_GET_ITEM(item, 1)));
    texts.add(key);
    texts.add(value);
    return Void{};
}

Result<Void> extract_headers(PyObject* obj, HeaderTexts out) {
    return visit_sequence(
        obj, [](std::size_t) {},
        [&](PyObject* item, bool held_by_sequence) {
            if (!held_by_sequence) out.items.push_back(PyRef::borrow(item));
            return extract_header(item, out.texts);
        });
}

constexpr Param kUrl{"url", extract_text};
constexpr Param kHeaders{"headers", extract_headers};
constexpr Param kMethod{"method", extract_method};
constexpr Param kBody{"body", extract_optional_text};
constexpr Signature<kUrl, kHeaders, kMethod, kBody> kNew{"Tavrel", "__new__", 3};
constexpr Signature<> kCommand{"Tavrel", "get_request_command"};

// Converts the arguments strictly in parameter order; the first failure ends it. The record is
// made from views of the arguments' texts, each copied once, into its one block.
Result<PyRef> construct(PyTypeObject* type, const decltype(kNew)::Args& args) {
    Request::Texts texts;
    std::vector<PyRef> iterated;
    TAVREL_TRY_SET(std::string_view url, args.get<kUrl>());
    texts.add(url);
    TAVREL_TRY(args.get<kHeaders>(HeaderTexts{texts, iterated}));
    TAVREL_TRY_SET(HttpMethod method, args.get<kMethod>());
    TAVREL_TRY_SET(std::optional<std::string_view> body, args.get<kBody>());
    texts.add(body.value_or(std::string_view()));
    return create_instance<TavrelClass>(type, Request::from_texts(texts, method, body.has_value()));
}

PyObject* get_request_command(PyObject* self, PyObject*) {
    return object_boundary([self]() -> Result<PyRef> {
        TAVREL_TRY_SET(Shared<TavrelClass> request, receiver_shared<TavrelClass>(self));
        const CommandText command(*request);
        if (command.unsendable()) return Failure::exception(PyExc_ValueError, command.unsendable()->message);
        return new_str_written(
            command.bound(), command.ascii(), [&] { return command.size(); },
            [&](char* out) { return command.write(out); });
    });
}

const MethodDef kMethods[] = {{kCommand.spec, get_request_command, METH_NOARGS}};

const std::array<PyType_Slot, 1> kSlots = {{{Py_tp_new, reinterpret_cast<void*>(constructor_new<kNew, construct>)}}};

}  // namespace

const ClassSpec TavrelClass::spec = {&kNew.spec, kSlots, kMethods};

Result<Request> copy_request(PyObject* obj) {
    TAVREL_TRY_SET(Shared<TavrelClass> request, borrow_shared<TavrelClass>(obj));
    return Request(*request);
}

}  // namespace tavrel
