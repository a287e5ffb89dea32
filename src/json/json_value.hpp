// The in-memory JSON value tree: kinds, numbers, arrays and key-ordered objects.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <ranges>
#include <string_view>
#include <variant>
#include <vector>

#include "json/json_text.hpp"

namespace tavrel::json {

// The order of the enumerators is the order of the alternatives inside JsonValue.
enum class JsonKind : std::uint8_t { Null, Bool, Number, String, Array, Object };

// A JSON number in exactly one of three forms; an integer has only one possible form, and a
// float is always finite (non-finite doubles never become numbers, see JsonValue::make_double).
class JsonNumber {
public:
    enum class Form : std::uint8_t { NonNegative, Negative, Float };

    static JsonNumber from_unsigned(std::uint64_t value) noexcept;
    // Zero and above take the non-negative form, so 0 made from either signedness is the same number.
    static JsonNumber from_signed(std::int64_t value) noexcept;
    // nullopt for NaN and the infinities.
    static std::optional<JsonNumber> from_double(double value) noexcept;

    Form form() const noexcept { return static_cast<Form>(value_.index()); }
    // Each accessor requires the matching form.
    std::uint64_t non_negative() const { return std::get<std::uint64_t>(value_); }
    std::int64_t negative() const { return std::get<std::int64_t>(value_); }
    double floating() const { return std::get<double>(value_); }

    // Same form and same value; floats compare by bit pattern, so 0.0 and -0.0 differ.
    friend bool operator==(const JsonNumber& a, const JsonNumber& b) noexcept;

private:
    using Storage = std::variant<std::uint64_t, std::int64_t, double>;  // index == Form
    explicit JsonNumber(Storage value) noexcept : value_(value) {}
    Storage value_;
};

class JsonValue;

// Where a tree's containers take their element storage from. A tree that lives inside one call
// gives all its containers one monotonic arena, so building it costs no heap allocation per
// node and destroying it frees nothing piece by piece; the default is the ordinary heap.
using Resource = std::pmr::memory_resource;
inline Resource* heap_resource() noexcept { return std::pmr::new_delete_resource(); }

// Elements in the order they were given or appended. Move-only like every container of the
// tree: a copy must be asked for with deep_copy(), so no subtree is duplicated by accident.
class JsonArray {
public:
    JsonArray() noexcept;
    explicit JsonArray(Resource* resource) noexcept;
    explicit JsonArray(std::pmr::vector<JsonValue> elements) noexcept;
    JsonArray(JsonArray&&) noexcept;
    JsonArray& operator=(JsonArray&&) noexcept;
    JsonArray(const JsonArray&) = delete;
    JsonArray& operator=(const JsonArray&) = delete;
    ~JsonArray();

    using const_iterator = std::pmr::vector<JsonValue>::const_iterator;

    void push_back(JsonValue value);
    void reserve(std::size_t count);
    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const JsonValue& operator[](std::size_t i) const;
    const_iterator begin() const noexcept;
    const_iterator end() const noexcept;

    // The copy's storage comes from `resource`; its texts are owned copies.
    JsonArray deep_copy(Resource* resource = heap_resource()) const;
    friend bool operator==(const JsonArray& a, const JsonArray& b);

private:
    std::pmr::vector<JsonValue> elements_;
};

// A map from key texts to values. Invariant: members_ is strictly ascending by key, compared
// byte by byte with each byte unsigned (a prefix sorts before its extensions), so walking the
// members is walking the keys in order and no sort is needed when writing.
class JsonObject {
public:
    struct Member;

    JsonObject() noexcept;
    explicit JsonObject(Resource* resource) noexcept;
    JsonObject(JsonObject&&) noexcept;
    JsonObject& operator=(JsonObject&&) noexcept;
    JsonObject(const JsonObject&) = delete;
    JsonObject& operator=(const JsonObject&) = delete;
    ~JsonObject();

    // A new key is copied in at its ordered place and nullopt is returned. For a key already
    // present, the stored key text and the member's place stay, the value is replaced, and the
    // previous value is handed back.
    std::optional<JsonValue> insert(std::string_view key, JsonValue value);
    // The same, taking `key` as it is: a borrowed key (a constant) stays borrowed. Both are
    // moved from only where they are stored.
    std::optional<JsonValue> insert(JsonText&& key, JsonValue&& value);

    // Iteration visits members in ascending key order; keys are never exposed for writing.
    using const_iterator = std::pmr::vector<Member>::const_iterator;

    // Room for `count` members, so that building a small object of known shape allocates once.
    void reserve(std::size_t count);
    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const_iterator begin() const noexcept;
    const_iterator end() const noexcept;

    JsonObject deep_copy(Resource* resource = heap_resource()) const;
    friend bool operator==(const JsonObject& a, const JsonObject& b);

private:
    std::pmr::vector<Member> members_;
};

// One kind and its content. Every value owns its whole subtree; values are moved into their
// parents and copied only through deep_copy().
class JsonValue {
public:
    // A default-constructed value is Null.
    JsonValue() noexcept = default;
    JsonValue(JsonValue&&) noexcept = default;
    JsonValue& operator=(JsonValue&&) noexcept = default;
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;
    ~JsonValue() = default;

    static JsonValue make_null() noexcept { return JsonValue(); }
    static JsonValue make_bool(bool value) noexcept { return JsonValue(Content(std::in_place_index<1>, value)); }
    static JsonValue make_number(JsonNumber value) noexcept;
    static JsonValue make_unsigned(std::uint64_t value) noexcept;
    static JsonValue make_signed(std::int64_t value) noexcept;
    // A finite double becomes a float number; NaN and the infinities become Null.
    static JsonValue make_double(double value) noexcept;
    // Copies the bytes of `text`, NUL bytes included.
    static JsonValue make_string(std::string_view text);
    // Takes the text as it is; a borrowed text must outlive the value.
    static JsonValue make_string(JsonText text) noexcept;
    static JsonValue make_array(JsonArray array) noexcept;
    static JsonValue make_array(std::pmr::vector<JsonValue> elements) noexcept;
    // Moves the elements into heap storage of the array's own.
    static JsonValue make_array(std::vector<JsonValue> elements);
    static JsonValue make_object(JsonObject object) noexcept;

    // One String element per text, copied, in the order of the range.
    template <std::ranges::input_range R>
        requires std::convertible_to<std::ranges::range_reference_t<R>, std::string_view>
    static JsonValue array_from_texts(R&& texts) {
        return array_from(std::forward<R>(texts), heap_resource(), [](std::string_view t) { return make_string(t); });
    }

    JsonKind kind() const noexcept { return static_cast<JsonKind>(content_.index()); }
    bool is_null() const noexcept { return kind() == JsonKind::Null; }

    // Each accessor requires the matching kind (std::bad_variant_access otherwise).
    bool as_bool() const { return std::get<bool>(content_); }
    const JsonNumber& as_number() const { return std::get<JsonNumber>(content_); }
    std::string_view as_string() const { return std::get<JsonText>(content_).view(); }
    const JsonText& as_text() const { return std::get<JsonText>(content_); }
    const JsonArray& as_array() const { return std::get<JsonArray>(content_); }
    const JsonObject& as_object() const { return std::get<JsonObject>(content_); }

    // An equal tree with storage of its own: containers from `resource`, owned copies of texts.
    JsonValue deep_copy(Resource* resource = heap_resource()) const;
    friend bool operator==(const JsonValue& a, const JsonValue& b);

private:
    template <class R, class Make>
    static JsonValue array_from(R&& texts, Resource* resource, Make make) {
        JsonArray array(resource);
        if constexpr (std::ranges::sized_range<R>) array.reserve(std::ranges::size(texts));
        for (auto&& text : texts) array.push_back(make(std::string_view(text)));
        return make_array(std::move(array));
    }

    // Alternative order must match JsonKind.
    using Content = std::variant<std::monostate, bool, JsonNumber, JsonText, JsonArray, JsonObject>;
    explicit JsonValue(Content content) noexcept : content_(std::move(content)) {}
    Content content_;
};

struct JsonObject::Member {
    JsonText key;
    JsonValue value;
};

// Defined here rather than in the classes: they need JsonValue and Member to be complete.
inline std::size_t JsonArray::size() const noexcept { return elements_.size(); }
inline bool JsonArray::empty() const noexcept { return elements_.empty(); }
inline const JsonValue& JsonArray::operator[](std::size_t i) const { return elements_[i]; }
inline JsonArray::const_iterator JsonArray::begin() const noexcept { return elements_.cbegin(); }
inline JsonArray::const_iterator JsonArray::end() const noexcept { return elements_.cend(); }

inline std::size_t JsonObject::size() const noexcept { return members_.size(); }
inline bool JsonObject::empty() const noexcept { return members_.empty(); }
inline JsonObject::const_iterator JsonObject::begin() const noexcept { return members_.cbegin(); }
inline JsonObject::const_iterator JsonObject::end() const noexcept { return members_.cend(); }

}  // namespace tavrel::json
