// JSON value tree: object key order and replacement, number forms, strings, arrays and deep copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory_resource>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/json_value.hpp"

namespace tavrel::json {
namespace {

using namespace std::string_view_literals;

std::vector<std::string> keys_of(const JsonObject& object) {
    std::vector<std::string> keys;
    for (const JsonObject::Member& member : object) keys.emplace_back(member.key.view());
    return keys;
}

// The value under `key`, found by walking the members.
const JsonValue& member(const JsonValue& object, std::string_view key) {
    for (const JsonObject::Member& m : object.as_object()) {
        if (m.key == key) return m.value;
    }
    ADD_FAILURE() << "no key " << key;
    static const JsonValue missing;
    return missing;
}

JsonObject object_with_keys(const std::vector<std::string_view>& keys) {
    JsonObject object;
    for (std::string_view key : keys) EXPECT_FALSE(object.insert(key, JsonValue::make_null()).has_value());
    return object;
}

TEST(ObjectKeyOrder, WalkIsInKeyOrderNotInsertionOrder) {
    EXPECT_EQ(keys_of(object_with_keys({"method", "header", "body", "url"})),
              (std::vector<std::string>{"body", "header", "method", "url"}));
}

TEST(ObjectKeyOrder, KeysCompareAsUnsignedBytesWithPrefixesFirst) {
    // "é" is 0xC3 0xA9: after "z" only when bytes are compared unsigned.
    const std::vector<std::string> sorted = {"", "Z", "a", "aa", "b", "z", "\x7f", "\xc3\xa9"};
    const std::vector<std::vector<std::string_view>> insert_orders = {
        {"", "Z", "a", "aa", "b", "z", "\x7f", "\xc3\xa9"},
        {"\xc3\xa9", "\x7f", "z", "b", "aa", "a", "Z", ""},
        {"aa", "\xc3\xa9", "", "b", "Z", "\x7f", "a", "z"},
    };
    for (const auto& order : insert_orders) EXPECT_EQ(keys_of(object_with_keys(order)), sorted);
}

TEST(ObjectKeyOrder, KeysDifferingAfterAnEmbeddedNulAreDistinct) {
    const std::string_view low = "k\0a"sv;
    const std::string_view high = "k\0b"sv;
    const JsonObject object = object_with_keys({high, "k", low});
    EXPECT_EQ(keys_of(object), (std::vector<std::string>{"k", std::string(low), std::string(high)}));
}

TEST(ObjectInsert, ExistingKeyKeepsPlaceAndHandsBackOldValue) {
    JsonObject object = object_with_keys({"a", "z"});
    EXPECT_FALSE(object.insert("k", JsonValue::make_string("first")).has_value());

    std::optional<JsonValue> old = object.insert("k", JsonValue::make_string("second"));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->as_string(), "first");

    ASSERT_EQ(object.size(), 3u);
    EXPECT_EQ(keys_of(object), (std::vector<std::string>{"a", "k", "z"}));
    EXPECT_EQ(std::next(object.begin())->value.as_string(), "second");

    old = object.insert("a", JsonValue::make_bool(true));
    ASSERT_TRUE(old.has_value());
    EXPECT_TRUE(old->is_null());
    EXPECT_TRUE(object.begin()->value.as_bool());
}

TEST(ObjectInsert, EmptyObjectIsAValue) {
    const JsonValue value = JsonValue::make_object(JsonObject());
    EXPECT_EQ(value.kind(), JsonKind::Object);
    EXPECT_TRUE(value.as_object().empty());
}

TEST(NumberForms, SignedIntegersTakeTheFormOfTheirSign) {
    EXPECT_EQ(JsonNumber::from_signed(0).form(), JsonNumber::Form::NonNegative);
    EXPECT_EQ(JsonNumber::from_signed(0), JsonNumber::from_unsigned(0));
    EXPECT_EQ(JsonNumber::from_signed(42), JsonNumber::from_unsigned(42));

    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(JsonNumber::from_signed(max).non_negative(), static_cast<std::uint64_t>(max));

    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(JsonNumber::from_signed(min).form(), JsonNumber::Form::Negative);
    EXPECT_EQ(JsonNumber::from_signed(min).negative(), min);
    EXPECT_EQ(JsonNumber::from_signed(-1).negative(), -1);

    const std::uint64_t umax = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(JsonNumber::from_unsigned(umax).non_negative(), umax);
}

TEST(NumberForms, NonFiniteDoublesBecomeNull) {
    for (double d : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(JsonNumber::from_double(d).has_value()) << d;
        EXPECT_EQ(JsonValue::make_double(d).kind(), JsonKind::Null) << d;
    }
    for (double d : {0.0, -0.0, 1.5, std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()}) {
        const JsonValue value = JsonValue::make_double(d);
        ASSERT_EQ(value.kind(), JsonKind::Number) << d;
        EXPECT_EQ(value.as_number().form(), JsonNumber::Form::Float);
        EXPECT_EQ(std::signbit(value.as_number().floating()), std::signbit(d));
        EXPECT_EQ(value.as_number().floating(), d);
    }
}

TEST(NumberForms, FloatIsNeverEqualToAnInteger) {
    EXPECT_NE(*JsonNumber::from_double(1.0), JsonNumber::from_unsigned(1));
    EXPECT_NE(*JsonNumber::from_double(0.0), *JsonNumber::from_double(-0.0));
}

TEST(ValueKinds, EachFactoryGivesItsKind) {
    EXPECT_EQ(JsonValue().kind(), JsonKind::Null);
    EXPECT_EQ(JsonValue::make_null().kind(), JsonKind::Null);
    EXPECT_EQ(JsonValue::make_bool(false).kind(), JsonKind::Bool);
    EXPECT_EQ(JsonValue::make_signed(-3).kind(), JsonKind::Number);
    EXPECT_EQ(JsonValue::make_unsigned(3).kind(), JsonKind::Number);
    EXPECT_EQ(JsonValue::make_string("").kind(), JsonKind::String);
    EXPECT_EQ(JsonValue::make_array(JsonArray()).kind(), JsonKind::Array);
    EXPECT_EQ(JsonValue::make_object(JsonObject()).kind(), JsonKind::Object);
}

TEST(ValueKinds, AccessorOfAnotherKindThrows) {
    const JsonValue value = JsonValue::make_string("x");
    EXPECT_THROW((void)value.as_bool(), std::bad_variant_access);
    EXPECT_THROW((void)value.as_object(), std::bad_variant_access);
}

TEST(Strings, HoldACopyOfEveryByteIncludingNul) {
    std::string source("a\0b\xff", 4);
    const JsonValue value = JsonValue::make_string(source);
    source[0] = 'X';
    EXPECT_EQ(value.as_string(), "a\0b\xff"sv);
}

TEST(Strings, BorrowedTextIsAViewAndItsDeepCopyOwnsItsBytes) {
    const std::string source = "borrowed text, longer than any inline buffer";
    const JsonValue borrowed = JsonValue::make_string(JsonText::borrow(source));
    EXPECT_EQ(borrowed.as_string().data(), source.data());
    EXPECT_FALSE(borrowed.as_text().owned());

    const JsonValue copy = borrowed.deep_copy();
    EXPECT_EQ(copy, borrowed);
    EXPECT_TRUE(copy.as_text().owned());
    EXPECT_NE(copy.as_string().data(), source.data());
}

TEST(Strings, TextClassIsFoundOnceAndPartsOfACleanTextStayClean) {
    const JsonText clean = JsonText::borrow("https://host:8443/a/b/c/d/e/f");
    EXPECT_FALSE(clean.text_class().needs_escape);
    EXPECT_FALSE(clean.text_class().non_ascii);
    const std::string_view whole = "plain part/\"quoted\"/caf\xc3\xa9 and a long plain tail";
    const JsonText mixed = JsonText::borrow(whole);
    EXPECT_TRUE(mixed.text_class().needs_escape);
    EXPECT_TRUE(mixed.text_class().non_ascii);
    // Parts of a text with escapes or high bytes are looked at on their own.
    const JsonText plain_part = JsonText::borrow_part(mixed, whole.substr(0, 10));
    EXPECT_FALSE(plain_part.text_class().needs_escape);
    EXPECT_FALSE(plain_part.text_class().non_ascii);
    EXPECT_TRUE(JsonText::borrow_part(mixed, whole.substr(11, 8)).text_class().needs_escape);
    EXPECT_TRUE(JsonText::borrow_part(mixed, whole.substr(20, 5)).text_class().non_ascii);
}

// Counts what a tree takes from its resource.
class CountingResource : public std::pmr::memory_resource {
public:
    std::size_t allocations = 0;

private:
    void* do_allocate(std::size_t bytes, std::size_t align) override {
        ++allocations;
        return std::pmr::new_delete_resource()->allocate(bytes, align);
    }
    void do_deallocate(void* p, std::size_t bytes, std::size_t align) override {
        std::pmr::new_delete_resource()->deallocate(p, bytes, align);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

TEST(Resources, ContainersTakeStorageFromTheirResourceAndDeepCopiesFromTheGivenOne) {
    CountingResource first, second;
    JsonObject object(&first);
    JsonArray array(&first);
    array.push_back(JsonValue::make_string("a"));
    object.insert("list", JsonValue::make_array(std::move(array)));
    object.insert("b", JsonValue::make_null());
    const std::size_t taken = first.allocations;
    EXPECT_GE(taken, 2u);

    const JsonObject copy = object.deep_copy(&second);
    EXPECT_EQ(first.allocations, taken);
    EXPECT_GE(second.allocations, 2u);
    EXPECT_EQ(JsonValue::make_object(copy.deep_copy()), JsonValue::make_object(object.deep_copy()));
}

// The arena hands out aligned storage from the owner's buffer, then from chunks of its own as
// large as asked, and after release() from the buffer again.
TEST(Resources, ArenaTakesFromTheBufferThenFromChunksAndStartsOverAfterRelease) {
    alignas(std::max_align_t) std::byte buffer[256];
    Arena arena(buffer, sizeof buffer);
    const auto in_buffer = [&](void* p) { return p >= buffer && p < buffer + sizeof buffer; };
    void* const first = arena.take(24);
    EXPECT_EQ(first, buffer);
    void* const second = arena.take(1);
    EXPECT_TRUE(in_buffer(second));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(second) % alignof(std::max_align_t), 0u);
    EXPECT_FALSE(in_buffer(arena.take(300)));
    auto* const large = static_cast<char*>(arena.take(100'000));
    std::fill(large, large + 100'000, 'x');  // all of it usable (the sanitizer build checks)
    void* const aligned = static_cast<std::pmr::memory_resource&>(arena).allocate(64, 64);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 64, 0u);
    arena.release();
    EXPECT_EQ(arena.take(8), buffer);
}

// Objects and arrays made in place: keys given in ascending order are appended, any other key
// goes to its ordered place, a key already present gives its value back to be replaced, and a
// container filled past the room it was made with grows through the arena.
TEST(InPlace, SlotsKeepTheKeyOrderAndEmplacingReplacesTheOldContent) {
    static constexpr JsonText kA = JsonText::borrow("a"), kB = JsonText::borrow("b"), kC = JsonText::borrow("c"),
                              kD = JsonText::borrow("d");
    alignas(std::max_align_t) std::byte buffer[512];
    Arena arena(buffer, sizeof buffer);
    JsonValue root;
    JsonObject& object = root.emplace_object(arena, 2);
    object.slot(kB).emplace_string(JsonText::borrow("first"));
    object.slot(kD).emplace_string(JsonText::borrow("d"));
    JsonArray& list = object.slot(kA).emplace_array(arena, 1);
    for (int i = 0; i < 40; ++i) list.emplace_back().emplace_string(JsonText::borrow("e"));
    object.slot(kC).emplace_object(arena, 0).slot(kA).emplace_string(JsonText::borrow("inner"));
    object.slot(kB).emplace_array(arena, 0);
    object.slot(kD).emplace_string(JsonText::borrow("second"));
    EXPECT_EQ(keys_of(object), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(member(root, "a").as_array().size(), 40u);
    EXPECT_TRUE(member(root, "b").as_array().empty());
    EXPECT_EQ(member(member(root, "c"), "a").as_string(), "inner");
    EXPECT_EQ(member(root, "d").as_string(), "second");

    JsonObject by_insert;
    by_insert.insert("b", JsonValue::make_array(JsonArray()));
    by_insert.insert("d", JsonValue::make_string("second"));
    by_insert.insert("c", JsonValue::make_object(JsonObject()));
    by_insert.insert("a", JsonValue::make_null());
    EXPECT_EQ(keys_of(by_insert), keys_of(object));
}

TEST(Arrays, FromValuesKeepsOrderAndRepeats) {
    std::vector<JsonValue> elements;
    elements.push_back(JsonValue::make_unsigned(2));
    elements.push_back(JsonValue::make_unsigned(1));
    elements.push_back(JsonValue::make_unsigned(2));
    const JsonValue value = JsonValue::make_array(std::move(elements));
    const JsonArray& array = value.as_array();
    ASSERT_EQ(array.size(), 3u);
    EXPECT_EQ(array[0].as_number().non_negative(), 2u);
    EXPECT_EQ(array[1].as_number().non_negative(), 1u);
    EXPECT_EQ(array[2].as_number().non_negative(), 2u);
    EXPECT_TRUE(JsonValue::make_array(std::vector<JsonValue>()).as_array().empty());
}

std::vector<std::string> texts_of(const JsonValue& value) {
    std::vector<std::string> texts;
    for (const JsonValue& element : value.as_array()) texts.emplace_back(element.as_string());
    return texts;
}

TEST(Arrays, FromTextsCopiesEachTextInOrder) {
    std::vector<std::string> owned = {"x", "", "x", "y"};
    const JsonValue from_strings = JsonValue::array_from_texts(owned);
    owned[0] = "changed";
    EXPECT_EQ(texts_of(from_strings), (std::vector<std::string>{"x", "", "x", "y"}));

    const std::array<std::string_view, 2> views = {"a\0b"sv, "c"sv};
    EXPECT_EQ(texts_of(JsonValue::array_from_texts(views)), (std::vector<std::string>{std::string("a\0b", 3), "c"}));

    EXPECT_TRUE(JsonValue::array_from_texts(std::vector<std::string_view>{}).as_array().empty());
}

JsonValue sample_tree() {
    JsonObject inner;
    inner.insert("s", JsonValue::make_string("a text longer than any inline buffer"));
    inner.insert("n", JsonValue::make_double(-0.0));
    inner.insert("i", JsonValue::make_signed(-7));
    inner.insert("e", JsonValue::make_array(JsonArray()));
    std::vector<JsonValue> list;
    list.push_back(JsonValue::make_object(std::move(inner)));
    list.push_back(JsonValue::make_bool(true));
    list.push_back(JsonValue::make_null());
    JsonObject root;
    root.insert("list", JsonValue::make_array(std::move(list)));
    root.insert("name", JsonValue::make_string("root"));
    return JsonValue::make_object(std::move(root));
}

TEST(DeepCopy, GivesAnEqualTreeWithItsOwnStorage) {
    const JsonValue original = sample_tree();
    const JsonValue copy = original.deep_copy();
    EXPECT_EQ(copy, original);
    EXPECT_EQ(copy, sample_tree());

    const JsonValue& original_inner = member(original, "list").as_array()[0];
    const JsonValue& copy_inner = member(copy, "list").as_array()[0];
    ASSERT_EQ(member(copy_inner, "s").as_string(), "a text longer than any inline buffer");
    EXPECT_NE(member(copy_inner, "s").as_string().data(), member(original_inner, "s").as_string().data());
    EXPECT_NE(&copy_inner.as_object(), &original_inner.as_object());
    // -0.0 survives the copy with its sign.
    EXPECT_TRUE(std::signbit(member(copy_inner, "n").as_number().floating()));
}

TEST(DeepCopy, CopyIsUnaffectedByChangesToOrLossOfTheSource) {
    JsonValue copy;
    {
        JsonObject source;
        source.insert("k", JsonValue::make_string("before"));
        const JsonValue snapshot = JsonValue::make_object(source.deep_copy());
        source.insert("k", JsonValue::make_string("after"));
        source.insert("new", JsonValue::make_null());
        EXPECT_EQ(keys_of(snapshot.as_object()), (std::vector<std::string>{"k"}));
        EXPECT_EQ(member(snapshot, "k").as_string(), "before");
        copy = snapshot.deep_copy();
    }
    // The sources are destroyed; a shared buffer would show up here (and under ASan).
    EXPECT_EQ(member(copy, "k").as_string(), "before");
}

TEST(Equality, DistinguishesKindsValuesAndKeys) {
    EXPECT_NE(JsonValue::make_null(), JsonValue::make_bool(false));
    EXPECT_NE(JsonValue::make_string("a"), JsonValue::make_string("b"));
    EXPECT_NE(JsonValue::make_object(object_with_keys({"a"})), JsonValue::make_object(object_with_keys({"b"})));
    EXPECT_NE(JsonValue::make_object(object_with_keys({"a"})), JsonValue::make_object(object_with_keys({"a", "b"})));
    EXPECT_EQ(JsonValue::make_object(object_with_keys({"b", "a"})),
              JsonValue::make_object(object_with_keys({"a", "b"})));
}

}  // namespace
}  // namespace tavrel::json
