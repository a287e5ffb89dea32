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

// ---- Arena ----

// A chunk's header; its storage follows.
struct Arena::Chunk {
    Chunk* next;
    std::size_t size;
};

Arena::Arena(void* buffer, std::size_t size) noexcept
    : buffer_(static_cast<char*>(buffer)), buffer_size_(size), next_(buffer_), end_(buffer_ + size) {}

Arena::~Arena() { release(); }

void Arena::release() noexcept {
    while (chunks_ != nullptr) {
        Chunk* const next = chunks_->next;
        ::operator delete(chunks_);
        chunks_ = next;
    }
    next_ = buffer_;
    end_ = buffer_ + buffer_size_;
}

// A chunk at least twice as large as the last one (or the buffer), and at least `bytes` large.
void* Arena::take_chunk(std::size_t bytes) {
    const std::size_t last = chunks_ != nullptr ? chunks_->size : buffer_size_;
    const std::size_t size = std::max({bytes, 2 * last, std::size_t{4096}});
    constexpr std::size_t kHeader = (sizeof(Chunk) + kAlign - 1) & ~(kAlign - 1);
    if (size > SIZE_MAX - kHeader) throw std::bad_alloc();
    auto* const chunk = static_cast<Chunk*>(::operator new(kHeader + size));
    chunk->next = chunks_;
    chunk->size = size;
    chunks_ = chunk;
    next_ = reinterpret_cast<char*>(chunk) + kHeader + bytes;
    end_ = reinterpret_cast<char*>(chunk) + kHeader + size;
    return reinterpret_cast<char*>(chunk) + kHeader;
}

void* Arena::do_allocate(std::size_t bytes, std::size_t align) {
    if (align <= kAlign) return take(bytes);
    // Stricter alignment than any node needs: room for moving up to it.
    if (bytes > SIZE_MAX - align) throw std::bad_alloc();
    void* at = take(bytes + align);
    std::size_t space = bytes + align;
    return std::align(align, bytes, at, space);
}

// ---- JsonArray ----

JsonArray::JsonArray() noexcept : elements_(heap_resource()) {}
JsonArray::JsonArray(std::pmr::vector<JsonValue> elements) : elements_(elements.get_allocator().resource()) {
    elements_.reserve(elements.size());
    for (JsonValue& element : elements) elements_.push_back(std::move(element));
}

JsonArray JsonArray::deep_copy(Resource* resource) const {
    JsonArray copy(resource);
    copy.reserve(size());
    for (const JsonValue& element : *this) copy.push_back(element.deep_copy(resource));
    return copy;
}

bool operator==(const JsonArray& a, const JsonArray& b) { return std::ranges::equal(a, b); }

// ---- JsonObject ----

JsonObject::JsonObject() noexcept : members_(heap_resource()) {}

namespace {
template <class Members>
std::size_t place_of(const Members& members, std::string_view key) {
    const auto* place = std::lower_bound(
        members.begin(), members.end(), key,
        [](const JsonObject::Member& m, std::string_view k) { return detail::key_less(m.key.view(), k); });
    return static_cast<std::size_t>(place - members.begin());
}
}  // namespace

std::optional<JsonValue> JsonObject::insert(std::string_view key, JsonValue value) {
    return insert(JsonText::copy_of(key), std::move(value));
}

JsonObject::Member& JsonObject::member_within(JsonText&& key, bool& found) {
    const std::size_t count = members_.size();
    const std::size_t place = place_of(members_, key.view());
    Member* const at = members_.begin() + place;
    found = place != count && at->key == key;
    if (!found) members_.insert(place, Member{std::move(key), JsonValue()});
    return members_.begin()[place];
}

JsonValue& JsonObject::slot_within(const JsonText& key) {
    bool found = false;
    return member_within(key.borrowed(), found).value;
}

JsonObject JsonObject::deep_copy(Resource* resource) const {
    JsonObject copy(resource);
    copy.members_.reserve(size());
    // The source is already in key order, so appending keeps the copy's invariant.
    for (const Member& m : *this) copy.members_.push_back(Member{m.key.copy_owned(), m.value.deep_copy(resource)});
    return copy;
}

bool operator==(const JsonObject& a, const JsonObject& b) {
    return std::ranges::equal(a, b, [](const JsonObject::Member& x, const JsonObject::Member& y) {
        return x.key == y.key && x.value == y.value;
    });
}

// ---- JsonValue ----

JsonValue JsonValue::make_bool(bool value) noexcept {
    JsonValue made;
    made.bool_ = value;
    made.kind_ = JsonKind::Bool;
    return made;
}

JsonValue JsonValue::make_number(JsonNumber value) noexcept {
    JsonValue made;
    std::construct_at(&made.number_, value);
    made.kind_ = JsonKind::Number;
    return made;
}

JsonValue JsonValue::make_unsigned(std::uint64_t value) noexcept {
    return make_number(JsonNumber::from_unsigned(value));
}

JsonValue JsonValue::make_signed(std::int64_t value) noexcept { return make_number(JsonNumber::from_signed(value)); }

JsonValue JsonValue::make_double(double value) noexcept {
    if (auto number = JsonNumber::from_double(value)) return make_number(*number);
    return make_null();
}

JsonValue JsonValue::make_string(std::string_view text) { return make_string(JsonText::copy_of(text)); }

JsonValue JsonValue::make_array(std::pmr::vector<JsonValue> elements) {
    return make_array(JsonArray(std::move(elements)));
}

JsonValue JsonValue::make_array(std::vector<JsonValue> elements) {
    JsonArray array(heap_resource());
    array.reserve(elements.size());
    for (JsonValue& element : elements) array.push_back(std::move(element));
    return make_array(std::move(array));
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

bool operator==(const JsonValue& a, const JsonValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case JsonKind::Null: return true;
        case JsonKind::Bool: return a.as_bool() == b.as_bool();
        case JsonKind::Number: return a.as_number() == b.as_number();
        case JsonKind::String: return a.as_text() == b.as_text();
        case JsonKind::Array: return a.as_array() == b.as_array();
        case JsonKind::Object: return a.as_object() == b.as_object();
    }
    return false;
}

}  // namespace tavrel::json
