// Tavrel: the request class, its constructor and get_request_command.
#include <array>
#include <cstddef>
#include <memory_resource>

#include "boundary/binder.hpp"
#include "lib/classes.hpp"
#include "lib/command.hpp"

namespace tavrel {
namespace {

constexpr std::array<const char*, 4> kParams = {"url", "headers", "method", "body"};
constexpr ArgSpec kNewSpec{"Tavrel", "__new__", kParams, 3};
constexpr ArgSpec kCommandSpec{"Tavrel", "get_request_command", {}, 0};

Result<Void> extract_header(PyObject* item, Request::Builder& builder) {
    if (!PyTuple_Check(item)) return Failure::conversion(item, "PyTuple");
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2) {
        return Failure::exception(PyExc_ValueError,
                                  "expected tuple of length 2, but got tuple of length " + std::to_string(size));
    }
    Result<std::string_view> key = extract_text(PyTuple_GET_ITEM(item, 0));
    if (!key) return std::move(key.failure());
    Result<std::string_view> value = extract_text(PyTuple_GET_ITEM(item, 1));
    if (!value) return std::move(value.failure());
    builder.add_header(*key, *value);
    return Void{};
}

// Converts the bound arguments strictly in parameter order; the first failure ends it. The texts
// are gathered in scratch space on the stack (spilling to the heap for big requests) and the
// record is made from them in one allocation.
Result<Request> extract_request(const BoundArgs& args) {
    std::array<std::byte, 2048> stack_space;
    std::pmr::monotonic_buffer_resource scratch(stack_space.data(), stack_space.size());
    Request::Builder builder(&scratch);
    builder.reserve_bytes(stack_space.size() / 2);  // typical requests never regrow it

    Result<std::string_view> url = for_argument("url", extract_text(args[0].get()));
    if (!url) return std::move(url.failure());
    builder.add_url(*url);

    Result<Void> headers =
        for_argument("headers", visit_sequence(
                                    args[1].get(), [&](std::size_t count) { builder.reserve_headers(count); },
                                    [&](PyObject* item) { return extract_header(item, builder); }));
    if (!headers) return std::move(headers.failure());

    Result<HttpMethod> method = for_argument("method", extract_method(args[2].get()));
    if (!method) return std::move(method.failure());

    std::optional<std::string_view> body;
    if (args[3] && args[3].get() != Py_None) {
        Result<std::string_view> text = for_argument("body", extract_text(args[3].get()));
        if (!text) return std::move(text.failure());
        body = *text;
    }
    return builder.finish(*method, body);
}

Result<PyRef> construct(PyTypeObject* type, Result<BoundArgs> bound) {
    if (!bound) return std::move(bound.failure());
    Result<Request> request = extract_request(*bound);
    if (!request) return std::move(request.failure());
    return create_instance<TavrelClass>(type, std::move(*request));
}

PyObject* get_request_command(PyObject* self, PyObject*) {
    return object_boundary([self]() -> Result<PyRef> {
        Result<Shared<TavrelClass>> request = borrow_shared<TavrelClass>(self);
        if (!request) return std::move(request.failure());
        std::array<std::byte, 256> stack_space;
        std::pmr::monotonic_buffer_resource scratch(stack_space.data(), stack_space.size());
        const CommandText command(**request, &scratch);
        if (command.unsendable()) return Failure::exception(PyExc_ValueError, command.unsendable()->message);
        return new_str_filled(command.size(), command.ascii(), [&](char* out) { command.write(out); });
    });
}

const MethodDef kMethods[] = {{kCommandSpec, get_request_command, METH_NOARGS}};

const std::array<PyType_Slot, 1> kSlots = {
    {{Py_tp_new, reinterpret_cast<void*>(constructor_new<kNewSpec, construct>)}}};

}  // namespace

const ClassSpec TavrelClass::spec = {&kNewSpec, kSlots, kMethods};

Result<Request> copy_request(PyObject* obj) {
    Result<Shared<TavrelClass>> request = borrow_shared<TavrelClass>(obj);
    if (!request) return std::move(request.failure());
    return Request(**request);
}

}  // namespace tavrel
