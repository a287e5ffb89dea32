// The argument binder and its messages.
#include "binder.hpp"

#include <cassert>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "convert.hpp"

namespace tavrel {
namespace {

std::string full_name(const ArgSpec& spec) { return std::string(spec.class_name) + "." + spec.function_name + "()"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ',';
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out.append("'").append(names[i]).append("'");
    }
    return out;
}

Failure too_many_positional(const ArgSpec& spec, std::size_t given) {
    const std::size_t count = spec.names.size();
    std::string message = full_name(spec);
    if (spec.required == count) {
        message += " takes " + std::to_string(count);
    } else {
        message += " takes from " + std::to_string(spec.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return Failure::exception(PyExc_TypeError, std::move(message));
}

// Index of the parameter called `name`, or -1 when none is (or `name` has no UTF-8 form).
Py_ssize_t parameter_index(const ArgSpec& spec, PyObject* name) {
    if (!PyUnicode_Check(name)) return -1;
    const std::optional<std::string_view> key = utf8_view(name);
    if (!key) {
        PyErr_Clear();
        return -1;
    }
    for (std::size_t i = 0; i < spec.names.size(); ++i) {
        if (*key == spec.names[i]) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// An optional parameter that was not passed is bound to None.
void fill_absent(const ArgSpec& spec, BoundObjects& out, std::size_t from) {
    for (std::size_t i = from; i < spec.names.size(); ++i) {
        if (out.objects[i] == nullptr) out.objects[i] = Py_None;
    }
}

// The common call: positional arguments only, as many as the function takes. Binds them
// without the general binder; anything else returns false.
bool bind_by_position(const ArgSpec& spec, PyObject* const* args, std::size_t given, BoundObjects& out) {
    if (given < spec.required || given > spec.names.size()) return false;
    for (std::size_t i = 0; i < given; ++i) out.objects[i] = args[i];
    fill_absent(spec, out, given);
    return true;
}

class Binder {
public:
    Binder(const ArgSpec& spec, BoundObjects& out) : spec_(spec), out_(out) {}

    Result<Void> positional(PyObject* const* args, std::size_t given) {
        for (std::size_t i = 0; i < given && i < spec_.names.size(); ++i) out_.objects[i] = args[i];
        given_ = given;
        if (given > spec_.names.size()) return too_many_positional(spec_, given);
        return Void{};
    }

    // `hold`: the value comes from a dict that Python code could change before it is converted.
    Result<Void> keyword(PyObject* name, PyObject* value, bool hold) {
        const Py_ssize_t index = parameter_index(spec_, name);
        if (index < 0) {
            return Failure::exception(
                PyExc_TypeError, full_name(spec_) + " got an unexpected keyword argument '" + object_text(name) + "'");
        }
        const auto slot = static_cast<std::size_t>(index);
        if (out_.objects[slot] != nullptr) {
            return Failure::exception(
                PyExc_TypeError, full_name(spec_) + " got multiple values for argument '" + spec_.names[slot] + "'");
        }
        out_.objects[slot] = value;
        if (hold) out_.held.hold(value);
        return Void{};
    }

    Result<Void> finish() {
        if (given_ < spec_.required) {
            std::vector<const char*> missing;
            for (std::size_t i = given_; i < spec_.required; ++i) {
                if (out_.objects[i] == nullptr) missing.push_back(spec_.names[i]);
            }
            if (!missing.empty()) {
                return Failure::exception(
                    PyExc_TypeError, full_name(spec_) + " missing " + std::to_string(missing.size()) +
                                         " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                                         name_list(missing));
            }
        }
        fill_absent(spec_, out_, given_);
        return Void{};
    }

private:
    const ArgSpec& spec_;
    BoundObjects& out_;
    std::size_t given_ = 0;
};

}  // namespace

std::string ArgSpec::text_signature(bool method) const {
    std::string text = method ? "($self" : "(";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0 || method) text += ", ";
        text += names[i];
        if (i >= required) text += "=None";
    }
    return text + ")";
}

Result<Void> bind_arguments(const ArgSpec& spec, PyObject* args, PyObject* kwargs, BoundObjects& out) {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && bind_by_position(spec, items, given, out)) {
        return Void{};
    }
    Binder binder(spec, out);
    TAVREL_TRY(binder.positional(items, given));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            // The dict may lose its references while a keyword name is formatted; hold them.
            PyRef name_ref = PyRef::borrow(name);
            PyRef value_ref = PyRef::borrow(value);
            TAVREL_TRY(binder.keyword(name, value, true));
        }
    }
    return binder.finish();
}

void HeldObjects::hold(PyObject* obj) noexcept {
    assert(count_ < objects_.size());
    Py_INCREF(obj);
    objects_[count_++] = obj;
}

void HeldObjects::release() noexcept {
    for (std::size_t i = 0; i < count_; ++i) Py_DECREF(objects_[i]);
}

Result<Void> bind_arguments(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                            BoundObjects& out) {
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (kwnames == nullptr && bind_by_position(spec, args, given, out)) return Void{};
    Binder binder(spec, out);
    TAVREL_TRY(binder.positional(args, given));
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            // The values sit in the caller's argument array, which outlives the call.
            PyObject* value = args[given + static_cast<std::size_t>(i)];
            TAVREL_TRY(binder.keyword(PyTuple_GET_ITEM(kwnames, i), value, false));
        }
    }
    return binder.finish();
}

}  // namespace tavrel
