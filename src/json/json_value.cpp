// JSON value tree: number forms, ordered insertion into objects, deep copy and equality.
#include "json/json_value.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <utility>

namespace tavrel::json {

// ---- JsonNumber ----

JsonNumber JsonNumber::from_unsigned(std::uint64_t value) noexcept {
    return JsonNumber(Storage(std::in_place_index<0>, value));
}

JsonNumber JsonNumber::from_signed(std::int64_t value) noexcept {
    if (value >= 0) return from_unsigned(static_cast<std::uint64_t>(value));
    return JsonNumber(Storage(std::in_place_index<1>, value));
}

std::optional<JsonNumber> JsonNumber::from_double(double value) noexcept {
    if (!std::isfinite(value)) return std::nullopt;
    return JsonNumber(Storage(std::in_place_index<2>, value));
}

bool operator==(const JsonNumber& a, const JsonNumber& b) noexcept {
    if (a.form() != b.form()) return false;
    switch (a.form()) {
        case JsonNumber::Form::NonNegative: return a.non_negative() == b.non_negative();
        case JsonNumber::Form::Negative: return a.negative() == b.negative();
        case JsonNumber::Form::Float:
            return std::bit_cast<std::uint64_t>(a.floating()) == std::bit_cast<std::uint64_t>(b.floating());
    }
    return false;
}

// ---- JsonArray ----

JsonArray::JsonArray() noexcept = default;
JsonArray::JsonArray(Resource* resource) noexcept : elements_(resource) {}
JsonArray::JsonArray(std::pmr::vector<JsonValue> elements) noexcept : elements_(std::move(elements)) {}
JsonArray::JsonArray(JsonArray&&) noexcept = default;
JsonArray& JsonArray::operator=(JsonArray&&) noexcept = default;
JsonArray::~JsonArray() = default;

void JsonArray::push_back(JsonValue value) { elements_.push_back(std::move(value)); }

void JsonArray::reserve(std::size_t count) { elements_.reserve(count); }

JsonArray JsonArray::deep_copy(Resource* resource) const {
    std::pmr::vector<JsonValue> copy(resource);
    copy.reserve(elements_.size());
    for (const JsonValue& element : elements_) copy.push_back(element.deep_copy(resource));
    return JsonArray(std::move(copy));
}

bool operator==(const JsonArray& a, const JsonArray& b) { return std::ranges::equal(a.elements_, b.elements_); }

// ---- JsonObject ----

JsonObject::JsonObject() noexcept = default;
JsonObject::JsonObject(Resource* resource) noexcept : members_(resource) {}
JsonObject::JsonObject(JsonObject&&) noexcept = default;
JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;
JsonObject::~JsonObject() = default;

// Keys given in ascending order (as a builder of known shapes gives them) are appended after one
// comparison with the last key; any other key finds its place by binary search.
namespace {
// string_view ordering goes through char_traits<char>, which compares characters as unsigned
// char and puts a prefix first: exactly the byte order the keys must keep.
template <class Members>
auto place_of(Members& members, std::string_view key) {
    return std::ranges::lower_bound(members, key, std::less<>{},
                                    [](const JsonObject::Member& m) { return m.key.view(); });
}
}  // namespace

std::optional<JsonValue> JsonObject::insert(std::string_view key, JsonValue value) {
    if (members_.empty() || members_.back().key.view() < key) {
        members_.push_back(Member{JsonText::copy_of(key), std::move(value)});
        return std::nullopt;
    }
    auto place = place_of(members_, key);
    if (place != members_.end() && place->key == key) return std::exchange(place->value, std::move(value));
    members_.insert(place, Member{JsonText::copy_of(key), std::move(value)});
    return std::nullopt;
}

std::optional<JsonValue> JsonObject::insert(JsonText&& key, JsonValue&& value) {
    if (members_.empty() || members_.back().key.view() < key.view()) {
        members_.push_back(Member{std::move(key), std::move(value)});
        return std::nullopt;
    }
    auto place = place_of(members_, key.view());
    if (place != members_.end() && place->key == key) return std::exchange(place->value, std::move(value));
    members_.insert(place, Member{std::move(key), std::move(value)});
    return std::nullopt;
}

void JsonObject::reserve(std::size_t count) { members_.reserve(count); }

JsonObject JsonObject::deep_copy(Resource* resource) const {
    JsonObject copy(resource);
    copy.members_.reserve(members_.size());
    // The source is already in key order, so appending keeps the copy's invariant.
    for (const Member& m : members_) copy.members_.push_back(Member{m.key.copy_owned(), m.value.deep_copy(resource)});
    return copy;
}

bool operator==(const JsonObject& a, const JsonObject& b) {
    return std::ranges::equal(a.members_, b.members_, [](const JsonObject::Member& x, const JsonObject::Member& y) {
        return x.key == y.key && x.value == y.value;
    });
}

// ---- JsonValue ----

JsonValue JsonValue::make_number(JsonNumber value) noexcept {
    return JsonValue(Content(std::in_place_index<2>, value));
}

JsonValue JsonValue::make_unsigned(std::uint64_t value) noexcept {
    return make_number(JsonNumber::from_unsigned(value));
}

JsonValue JsonValue::make_signed(std::int64_t value) noexcept { return make_number(JsonNumber::from_signed(value)); }

JsonValue JsonValue::make_double(double value) noexcept {
    if (auto number = JsonNumber::from_double(value)) return make_number(*number);
    return make_null();
}

JsonValue JsonValue::make_string(std::string_view text) {
    return JsonValue(Content(std::in_place_index<3>, JsonText::copy_of(text)));
}

JsonValue JsonValue::make_string(JsonText text) noexcept {
    return JsonValue(Content(std::in_place_index<3>, std::move(text)));
}

JsonValue JsonValue::make_array(JsonArray array) noexcept {
    return JsonValue(Content(std::in_place_index<4>, std::move(array)));
}

JsonValue JsonValue::make_array(std::pmr::vector<JsonValue> elements) noexcept {
    return make_array(JsonArray(std::move(elements)));
}

JsonValue JsonValue::make_object(JsonObject object) noexcept {
    return JsonValue(Content(std::in_place_index<5>, std::move(object)));
}

JsonValue JsonValue::make_array(std::vector<JsonValue> elements) {
    std::pmr::vector<JsonValue> moved(heap_resource());
    moved.reserve(elements.size());
    for (JsonValue& element : elements) moved.push_back(std::move(element));
    return make_array(std::move(moved));
}

JsonValue JsonValue::deep_copy(Resource* resource) const {
    switch (kind()) {
        case JsonKind::Null: return make_null();
        case JsonKind::Bool: return make_bool(as_bool());
        case JsonKind::Number: return make_number(as_number());
        case JsonKind::String: return make_string(as_string());
        case JsonKind::Array: return make_array(as_array().deep_copy(resource));
        case JsonKind::Object: return make_object(as_object().deep_copy(resource));
    }
    return make_null();
}

bool operator==(const JsonValue& a, const JsonValue& b) { return a.content_ == b.content_; }

}  // namespace tavrel::json
