// The in-memory JSON value tree: kinds, numbers, arrays and key-ordered objects.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <new>
#include <optional>
#include <ranges>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/inline.hpp"
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

// A bump arena for a tree that is built, used and then forgotten whole: storage is handed out
// from a buffer the owner gives, then from chunks of its own, and nothing is freed until
// release(). take() is inline, without the virtual call of the memory_resource interface, which
// the arena also has (deallocation does nothing), so a container can grow through it.
class Arena final : public std::pmr::memory_resource {
public:
    Arena(void* buffer, std::size_t size) noexcept;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() override;

    // `bytes` of storage aligned for any node of a tree.
    void* take(std::size_t bytes) {
        bytes = (bytes + kAlign - 1) & ~(kAlign - 1);
        if (static_cast<std::size_t>(end_ - next_) < bytes) return take_chunk(bytes);
        void* const at = next_;
        next_ += bytes;
        return at;
    }
    // Everything handed out is forgotten; the chunks are freed and the buffer is used again.
    void release() noexcept;

private:
    static constexpr std::size_t kAlign = alignof(std::max_align_t);
    struct Chunk;

    void* take_chunk(std::size_t bytes);
    void* do_allocate(std::size_t bytes, std::size_t align) override;
    void do_deallocate(void*, std::size_t, std::size_t) noexcept override {}
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    char* buffer_;
    std::size_t buffer_size_;
    char* next_;
    char* end_;
    Chunk* chunks_ = nullptr;
};

namespace detail {

// The element storage of arrays and objects: a growable sequence whose storage comes from a
// Resource. Growing moves the elements into the new storage. Move-only.
template <class T>
class Elements {
public:
    explicit Elements(Resource* resource) noexcept : resource_(resource) {}
    // Room for `capacity` elements taken from `arena`, without a virtual call.
    Elements(Arena& arena, std::size_t capacity)
        : data_(capacity == 0 ? nullptr : static_cast<T*>(arena.take(checked_bytes(capacity)))),
          capacity_(capacity),
          resource_(&arena) {}
    Elements(Elements&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          resource_(other.resource_) {}
    Elements& operator=(Elements&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            resource_ = other.resource_;
        }
        return *this;
    }
    Elements(const Elements&) = delete;
    Elements& operator=(const Elements&) = delete;
    ~Elements() { release(); }

    void reserve(std::size_t count) {
        if (count > capacity_) reallocate(count);
    }
    T& push_back(T&& element) { return emplace_back(std::move(element)); }
    // The new last element made in place from `args` (none of which may refer into this storage).
    template <class... Args>
    TAVREL_INLINE T& emplace_back(Args&&... args) {
        if (size_ == capacity_) reallocate(capacity_ == 0 ? 4 : 2 * capacity_);
        T* const at = std::construct_at(data_ + size_, std::forward<Args>(args)...);
        ++size_;
        return *at;
    }
    // Puts `element` before the one at `index` (index <= size()).
    void insert(std::size_t index, T&& element) {
        if (index == size_) {
            push_back(std::move(element));
            return;
        }
        if (size_ == capacity_) reallocate(2 * capacity_);
        std::construct_at(data_ + size_, std::move(data_[size_ - 1]));
        ++size_;
        std::move_backward(data_ + index, data_ + size_ - 2, data_ + size_ - 1);
        data_[index] = std::move(element);
    }

    Resource* resource() const noexcept { return resource_; }
    std::size_t size() const noexcept { return size_; }
    T* begin() const noexcept { return data_; }
    T* end() const noexcept { return data_ + size_; }

private:
    static std::size_t checked_bytes(std::size_t capacity) {
        if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        return capacity * sizeof(T);
    }
    void reallocate(std::size_t capacity) {
        T* const fresh = static_cast<T*>(resource_->allocate(checked_bytes(capacity), alignof(T)));
        for (std::size_t i = 0; i < size_; ++i) {
            std::construct_at(fresh + i, std::move(data_[i]));
            std::destroy_at(data_ + i);
        }
        if (data_ != nullptr) resource_->deallocate(data_, capacity_ * sizeof(T), alignof(T));
        data_ = fresh;
        capacity_ = capacity;
    }
    void release() noexcept {
        if (data_ == nullptr) return;
        std::destroy_n(data_, size_);
        resource_->deallocate(data_, capacity_ * sizeof(T), alignof(T));
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    Resource* resource_;
};

// string_view ordering goes through char_traits<char>, which compares characters as unsigned
// char and puts a prefix first: exactly the byte order the keys must keep. Keys that differ in
// their first byte (most keys of the collection document's objects) are told apart by it alone;
// the others ("path" and "protocol" of the url object) by the whole comparison.
inline bool key_less(std::string_view a, std::string_view b) noexcept {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
        return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
    }
    return a < b;
}

}  // namespace detail

// Elements in the order they were given or appended. Move-only like every container of the
// tree: a copy must be asked for with deep_copy(), so no subtree is duplicated by accident.
class JsonArray {
public:
    JsonArray() noexcept;
    explicit JsonArray(Resource* resource) noexcept;
    // Room for `capacity` elements from `arena` (more take more from it).
    JsonArray(Arena& arena, std::size_t capacity);
    // The elements moved into storage from the vector's own resource.
    explicit JsonArray(std::pmr::vector<JsonValue> elements);
    JsonArray(JsonArray&&) noexcept;
    JsonArray& operator=(JsonArray&&) noexcept;
    JsonArray(const JsonArray&) = delete;
    JsonArray& operator=(const JsonArray&) = delete;
    ~JsonArray();

    using const_iterator = const JsonValue*;

    void push_back(JsonValue value);
    // A new Null element at the end, to be made in place; valid until the next element is added.
    JsonValue& emplace_back();
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
    detail::Elements<JsonValue> elements_;
};

// A map from key texts to values. Invariant: members_ is strictly ascending by key, compared
// byte by byte with each byte unsigned (a prefix sorts before its extensions), so walking the
// members is walking the keys in order and no sort is needed when writing.
class JsonObject {
public:
    struct Member;

    JsonObject() noexcept;
    explicit JsonObject(Resource* resource) noexcept;
    // Room for `capacity` members from `arena` (more take more from it).
    JsonObject(Arena& arena, std::size_t capacity);
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
    // The value of the member `key`, to be made or replaced in place: for a new key, a Null value
    // in a member put at the key's ordered place (after one comparison when the keys come in
    // ascending order); for a key already present, its value. Valid until the next new member.
    // The member's key borrows the bytes of `key`, which must outlive the object (a constant).
    JsonValue& slot(const JsonText& key);

    // Iteration visits members in ascending key order; keys are never exposed for writing.
    using const_iterator = const Member*;

    // Room for `count` members, so that building a small object of known shape allocates once.
    void reserve(std::size_t count);
    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const_iterator begin() const noexcept;
    const_iterator end() const noexcept;

    JsonObject deep_copy(Resource* resource = heap_resource()) const;
    friend bool operator==(const JsonObject& a, const JsonObject& b);

private:
    // The member of `key`, found or put at its ordered place with a Null value; `found` tells.
    Member& member_within(JsonText&& key, bool& found);
    // slot() of a key that does not go last.
    JsonValue& slot_within(const JsonText& key);

    detail::Elements<Member> members_;
};

// One kind and its content. Every value owns its whole subtree; values are moved into their
// parents and copied only through deep_copy(). A moved-from value is Null.
class JsonValue {
public:
    // A default-constructed value is Null.
    JsonValue() noexcept {}
    JsonValue(JsonValue&& other) noexcept { take(other); }
    JsonValue& operator=(JsonValue&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;
    ~JsonValue() { reset(); }

    static JsonValue make_null() noexcept { return JsonValue(); }
    static JsonValue make_bool(bool value) noexcept;
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
    static JsonValue make_array(std::pmr::vector<JsonValue> elements);
    // Moves the elements into heap storage of the array's own.
    static JsonValue make_array(std::vector<JsonValue> elements);
    static JsonValue make_object(JsonObject object) noexcept;

    // One String element per text, copied, in the order of the range.
    template <std::ranges::input_range R>
        requires std::convertible_to<std::ranges::range_reference_t<R>, std::string_view>
    static JsonValue array_from_texts(R&& texts) {
        return array_from(std::forward<R>(texts), heap_resource(), [](std::string_view t) { return make_string(t); });
    }

    // This value made in place (its old content destroyed): a String of `text`, or an empty Array
    // or Object with room for `capacity` from `arena`, returned to be filled.
    void emplace_string(JsonText text) noexcept;
    JsonArray& emplace_array(Arena& arena, std::size_t capacity);
    JsonObject& emplace_object(Arena& arena, std::size_t capacity);

    JsonKind kind() const noexcept { return kind_; }
    bool is_null() const noexcept { return kind_ == JsonKind::Null; }

    // Each accessor requires the matching kind (std::bad_variant_access otherwise).
    bool as_bool() const { return checked(JsonKind::Bool).bool_; }
    const JsonNumber& as_number() const { return checked(JsonKind::Number).number_; }
    std::string_view as_string() const { return checked(JsonKind::String).text_.view(); }
    const JsonText& as_text() const { return checked(JsonKind::String).text_; }
    const JsonArray& as_array() const { return checked(JsonKind::Array).array_; }
    const JsonObject& as_object() const { return checked(JsonKind::Object).object_; }

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

    const JsonValue& checked(JsonKind kind) const {
        if (kind_ != kind) throw std::bad_variant_access();
        return *this;
    }
    // Moves the content of `other` here (this holds nothing) and leaves `other` Null.
    void take(JsonValue& other) noexcept;
    // Destroys the content; the value is Null afterwards.
    void reset() noexcept;

    JsonKind kind_ = JsonKind::Null;
    union {
        bool bool_;
        JsonNumber number_;
        JsonText text_;
        JsonArray array_;
        JsonObject object_;
    };
};

struct JsonObject::Member {
    JsonText key;
    JsonValue value;
};

inline void JsonValue::take(JsonValue& other) noexcept {
    switch (other.kind_) {
        case JsonKind::Null: break;
        case JsonKind::Bool: bool_ = other.bool_; break;
        case JsonKind::Number: std::construct_at(&number_, other.number_); break;
        case JsonKind::String: std::construct_at(&text_, std::move(other.text_)); break;
        case JsonKind::Array: std::construct_at(&array_, std::move(other.array_)); break;
        case JsonKind::Object: std::construct_at(&object_, std::move(other.object_)); break;
    }
    kind_ = other.kind_;
    // A moved-from text, array or object owns nothing, so its lifetime ends here without its
    // destructor (which would do nothing).
    other.kind_ = JsonKind::Null;
}

inline void JsonValue::reset() noexcept {
    switch (kind_) {
        case JsonKind::Null:
        case JsonKind::Bool: break;
        case JsonKind::Number: std::destroy_at(&number_); break;
        case JsonKind::String: std::destroy_at(&text_); break;
        case JsonKind::Array: std::destroy_at(&array_); break;
        case JsonKind::Object: std::destroy_at(&object_); break;
    }
    kind_ = JsonKind::Null;
}

inline JsonArray::JsonArray(Resource* resource) noexcept : elements_(resource) {}
inline JsonArray::JsonArray(Arena& arena, std::size_t capacity) : elements_(arena, capacity) {}
inline JsonValue& JsonArray::emplace_back() { return elements_.emplace_back(); }
inline JsonArray::JsonArray(JsonArray&&) noexcept = default;
inline JsonArray& JsonArray::operator=(JsonArray&&) noexcept = default;
inline JsonArray::~JsonArray() = default;
inline void JsonArray::push_back(JsonValue value) { elements_.push_back(std::move(value)); }
inline void JsonArray::reserve(std::size_t count) { elements_.reserve(count); }

inline JsonObject::JsonObject(Resource* resource) noexcept : members_(resource) {}
inline JsonObject::JsonObject(Arena& arena, std::size_t capacity) : members_(arena, capacity) {}
inline JsonObject::JsonObject(JsonObject&&) noexcept = default;
inline JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;
inline JsonObject::~JsonObject() = default;
inline void JsonObject::reserve(std::size_t count) { members_.reserve(count); }

inline JsonValue JsonValue::make_string(JsonText text) noexcept {
    JsonValue made;
    made.emplace_string(std::move(text));
    return made;
}

inline void JsonValue::emplace_string(JsonText text) noexcept {
    if (kind_ != JsonKind::Null) reset();
    std::construct_at(&text_, std::move(text));
    kind_ = JsonKind::String;
}

TAVREL_INLINE JsonArray& JsonValue::emplace_array(Arena& arena, std::size_t capacity) {
    if (kind_ != JsonKind::Null) reset();
    std::construct_at(&array_, arena, capacity);
    kind_ = JsonKind::Array;
    return array_;
}

TAVREL_INLINE JsonObject& JsonValue::emplace_object(Arena& arena, std::size_t capacity) {
    if (kind_ != JsonKind::Null) reset();
    std::construct_at(&object_, arena, capacity);
    kind_ = JsonKind::Object;
    return object_;
}

inline JsonValue JsonValue::make_array(JsonArray array) noexcept {
    JsonValue made;
    std::construct_at(&made.array_, std::move(array));
    made.kind_ = JsonKind::Array;
    return made;
}

inline JsonValue JsonValue::make_object(JsonObject object) noexcept {
    JsonValue made;
    std::construct_at(&made.object_, std::move(object));
    made.kind_ = JsonKind::Object;
    return made;
}

// Keys given in ascending order (as a builder of known shapes gives them) are appended after one
// comparison with the last key; any other key finds its place by binary search.
inline std::optional<JsonValue> JsonObject::insert(JsonText&& key, JsonValue&& value) {
    if (members_.size() == 0 || detail::key_less(members_.end()[-1].key.view(), key.view())) {
        members_.emplace_back(std::move(key), std::move(value));
        return std::nullopt;
    }
    bool found = false;
    Member& member = member_within(std::move(key), found);
    if (found) return std::exchange(member.value, std::move(value));
    member.value = std::move(value);
    return std::nullopt;
}

TAVREL_INLINE JsonValue& JsonObject::slot(const JsonText& key) {
    if (members_.size() == 0 || detail::key_less(members_.end()[-1].key.view(), key.view())) {
        return members_.emplace_back(key.borrowed()).value;
    }
    return slot_within(key);
}

// Defined here rather than in the classes: they need JsonValue and Member to be complete.
inline std::size_t JsonArray::size() const noexcept { return elements_.size(); }
inline bool JsonArray::empty() const noexcept { return elements_.size() == 0; }
inline const JsonValue& JsonArray::operator[](std::size_t i) const { return elements_.begin()[i]; }
inline JsonArray::const_iterator JsonArray::begin() const noexcept { return elements_.begin(); }
inline JsonArray::const_iterator JsonArray::end() const noexcept { return elements_.end(); }

inline std::size_t JsonObject::size() const noexcept { return members_.size(); }
inline bool JsonObject::empty() const noexcept { return members_.size() == 0; }
inline JsonObject::const_iterator JsonObject::begin() const noexcept { return members_.begin(); }
inline JsonObject::const_iterator JsonObject::end() const noexcept { return members_.end(); }

}  // namespace tavrel::json
