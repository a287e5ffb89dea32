// Compact JSON text: literals, string escaping, integer and float layout, containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_writer.hpp"

namespace tavrel::json {
namespace {

using namespace std::string_view_literals;

std::string text_of_string(std::string_view s) { return to_json_text(JsonValue::make_string(s)); }
std::string text_of_double(double d) { return to_json_text(JsonValue::make_double(d)); }

JsonValue object_of(std::vector<std::pair<std::string_view, JsonValue>> members) {
    JsonObject object;
    for (auto& [key, value] : members) object.insert(key, std::move(value));
    return JsonValue::make_object(std::move(object));
}

TEST(Literals, NullAndBooleans) {
    EXPECT_EQ(to_json_text(JsonValue::make_null()), "null");
    EXPECT_EQ(to_json_text(JsonValue::make_bool(true)), "true");
    EXPECT_EQ(to_json_text(JsonValue::make_bool(false)), "false");
}

struct EscapeCase {
    std::string_view input;
    std::string_view expected;  // the written text, quotes included
};

TEST(StringEscaping, EachByteIsWrittenAsRequired) {
    const EscapeCase cases[] = {
        {"", R"("")"},
        {"\"", R"("\"")"},
        {"\\", R"("\\")"},
        {"\b", R"("\b")"},
        {"\t", R"("\t")"},
        {"\n", R"("\n")"},
        {"\f", R"("\f")"},
        {"\r", R"("\r")"},
        {"\0"sv, R"("\u0000")"},
        {"\x0b", R"("\u000b")"},
        {"\x1f", R"("\u001f")"},
        {"\x01\x1a", R"("\u0001\u001a")"},
        {" ", R"(" ")"},
        {"/", R"("/")"},
        {"\x7f", "\"\x7f\""},
        {"\xc3\xa9\xe2\x82\xac", "\"\xc3\xa9\xe2\x82\xac\""},  // é €
        {"\x80\xff", "\"\x80\xff\""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(text_of_string(cases[i].input), cases[i].expected) << "case " << i;
    }
}

TEST(StringEscaping, PlainRunsAroundEscapesAreKeptWhole) {
    EXPECT_EQ(text_of_string("say \"hi\"\\ now\n"), R"("say \"hi\"\\ now\n")");
    EXPECT_EQ(text_of_string("\"abc"), R"("\"abc")");
    EXPECT_EQ(text_of_string("abc\""), R"("abc\"")");
    EXPECT_EQ(text_of_string("a\0b"sv), R"("a\u0000b")");
    EXPECT_EQ(text_of_string("\n\n"), R"("\n\n")");
}

// Texts of eight bytes or more are scanned a word at a time, and of 32 or more sixteen bytes at
// a time: every byte value, at every place of a block, of a word and of the tail, must come out
// as it does alone (pinned by the table above), and the measured size and ASCII flag must match
// what is written.
TEST(StringEscaping, WordScanAgreesWithEachByteAtEveryPlace) {
    for (int value = 0; value < 256; ++value) {
        const char byte = static_cast<char>(value);
        const std::string alone = text_of_string(std::string_view(&byte, 1));
        const std::string_view escaped(alone.data() + 1, alone.size() - 2);
        for (std::size_t place = 0; place < 41; ++place) {
            std::string text(41, 'a');
            text[place] = byte;
            const JsonValue value_of_text = JsonValue::make_string(text);
            const std::string written = to_json_text(value_of_text);
            std::string expected = "\"";  // appended: `"\"" + std::string` trips GCC 12's -Wrestrict
            expected.append(text, 0, place).append(escaped).append(text, place + 1).append("\"");
            ASSERT_EQ(written, expected) << "byte " << value << " at " << place;
            const TextSize size = measure_json(value_of_text);
            EXPECT_EQ(size.bytes, written.size()) << "byte " << value << " at " << place;
            EXPECT_EQ(size.ascii, value < 0x80) << "byte " << value << " at " << place;
        }
    }
}

// Plain texts of every length up to past the sizes copied without a call, classified or not,
// each byte distinct from its neighbours: a copy that drops, repeats or misplaces a byte shows.
TEST(StringEscaping, PlainTextsOfEveryLengthAreCopiedWhole) {
    for (std::size_t n = 0; n <= 70; ++n) {
        std::string text(n, '\0');
        for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + (i * 7 + n) % 26);
        const std::string expected = std::string("\"").append(text).append("\"");
        EXPECT_EQ(to_json_text(JsonValue::make_string(text)), expected) << n;
        EXPECT_EQ(to_json_text(JsonValue::make_string(JsonText::view_of(text))), expected) << n;
    }
}

// Dense escapes: several in one word, escapes straddling words, long and short forms mixed with
// plain and high bytes. Each text must read as the concatenation of its bytes written alone,
// with the measured size exact and nothing written past it.
TEST(StringEscaping, DenseEscapesAgreeWithEachByteAlone) {
    const std::string_view alphabet = "aaaa\"\\\n\x01\x1f \x7f\x80\xff"sv;
    std::string alone[256];
    for (int value = 0; value < 256; ++value) {
        const char byte = static_cast<char>(value);
        const std::string text = text_of_string(std::string_view(&byte, 1));
        alone[value] = text.substr(1, text.size() - 2);
    }
    std::mt19937 random(20240611);
    for (int round = 0; round < 4000; ++round) {
        std::string text(random() % 70, '\0');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        std::string expected = "\"";
        for (char c : text) expected += alone[static_cast<unsigned char>(c)];
        expected += '"';
        const JsonValue value = JsonValue::make_string(text);
        const TextSize size = measure_json(value);
        ASSERT_EQ(size.bytes, expected.size()) << round;
        std::string buffer(size.bytes + 8, '#');
        const char* end = write_json(value, buffer.data());
        ASSERT_EQ(std::string_view(buffer.data(), end), expected) << round;
        ASSERT_EQ(buffer.substr(size.bytes), "########") << round;
    }
}

TEST(StringEscaping, EscapesAcrossWordBoundariesKeepTheRunsBetween) {
    const std::string text = std::string(7, 'x') + "\"\\" + std::string(9, 'y') + "\n" + std::string(16, 'z') + "\x01";
    EXPECT_EQ(text_of_string(text), "\"xxxxxxx\\\"\\\\yyyyyyyyy\\n" + std::string(16, 'z') + "\\u0001\"");
}

TEST(Measure, SizeIsExactForEveryKindAndAsciiOnlyWithoutHighBytes) {
    std::vector<JsonValue> elements;
    elements.push_back(JsonValue::make_null());
    elements.push_back(JsonValue::make_bool(false));
    elements.push_back(JsonValue::make_signed(-42));
    elements.push_back(JsonValue::make_double(1.5e-7));
    elements.push_back(JsonValue::make_array(std::vector<JsonValue>()));
    elements.push_back(JsonValue::make_object(JsonObject()));
    elements.push_back(JsonValue::make_string("tab\there and a long plain run after it"));
    JsonObject object;
    object.insert("k\"", JsonValue::make_array(std::move(elements)));
    object.insert("b", JsonValue::make_bool(true));
    const JsonValue tree = JsonValue::make_object(std::move(object));
    const std::string text = to_json_text(tree);
    const TextSize size = measure_json(tree);
    EXPECT_EQ(size.bytes, text.size()) << text;
    EXPECT_TRUE(size.ascii);

    // A high byte in a key alone makes the text non-ASCII.
    JsonObject with_high_key;
    with_high_key.insert("\xc3\xa9", JsonValue::make_null());
    EXPECT_FALSE(measure_json(JsonValue::make_object(std::move(with_high_key))).ascii);
}

TEST(WriteJson, WritesExactlyTheMeasuredBytesIntoABuffer) {
    JsonObject object;
    object.insert("b", JsonValue::make_unsigned(7));
    object.insert("a", JsonValue::make_string("x\"y\x02\xe2\x82\xac"));
    const JsonValue tree = JsonValue::make_object(std::move(object));
    const TextSize size = measure_json(tree);
    std::string buffer(size.bytes + 1, '#');
    char* end = write_json(tree, buffer.data());
    EXPECT_EQ(end, buffer.data() + size.bytes);
    EXPECT_EQ(buffer, "{\"a\":\"x\\\"y\\u0002\xe2\x82\xac\",\"b\":7}#");
}

TEST(StringEscaping, KeysAreEscapedLikeValues) {
    JsonObject object;
    object.insert("k\"\\\x1f/\xc3\xa9", JsonValue::make_string("v\t"));
    EXPECT_EQ(to_json_text(JsonValue::make_object(std::move(object))), "{\"k\\\"\\\\\\u001f/\xc3\xa9\":\"v\\t\"}");
}

// Keys given as they are written (quotes and colon included) give the text that the same keys
// inserted plainly give, in the same key order, also beside plain keys and in a deep copy.
TEST(StringEscaping, WrittenKeysGiveTheSameTextAsPlainOnes) {
    static constexpr JsonText kAlpha = JsonText::written_key(R"("alpha":)"), kMid = JsonText::written_key(R"("m":)");
    EXPECT_TRUE(kAlpha.written());
    EXPECT_EQ(kAlpha.view(), "alpha");
    JsonObject object;
    object.insert(kMid.borrowed(), JsonValue::make_string("2"));
    object.insert("k\"", JsonValue::make_string("3"));
    object.insert(kAlpha.borrowed(), JsonValue::make_string("1"));
    const JsonValue written = JsonValue::make_object(std::move(object));
    const std::string text = to_json_text(written);
    EXPECT_EQ(text, R"({"alpha":"1","k\"":"3","m":"2"})");
    EXPECT_EQ(to_json_text(written.deep_copy()), text);
    EXPECT_EQ(measure_json(written).bytes, text.size());
}

TEST(Integers, PlainDecimalDigits) {
    EXPECT_EQ(to_json_text(JsonValue::make_unsigned(0)), "0");
    EXPECT_EQ(to_json_text(JsonValue::make_signed(0)), "0");
    EXPECT_EQ(to_json_text(JsonValue::make_signed(-5)), "-5");
    EXPECT_EQ(to_json_text(JsonValue::make_signed(1000)), "1000");
    EXPECT_EQ(to_json_text(JsonValue::make_signed(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
    EXPECT_EQ(to_json_text(JsonValue::make_signed(std::numeric_limits<std::int64_t>::max())), "9223372036854775807");
    EXPECT_EQ(to_json_text(JsonValue::make_unsigned(std::numeric_limits<std::uint64_t>::max())),
              "18446744073709551615");
}

struct FloatCase {
    double value;
    std::string_view expected;
};

TEST(Floats, LayoutFollowsThePositionOfTheDecimalPoint) {
    const FloatCase cases[] = {
        // sign and zero
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {-1.5, "-1.5"},
        // integral values up to sixteen places: digits, zeros, ".0"
        {1.0, "1.0"},
        {123.0, "123.0"},
        {1e15, "1000000000000000.0"},
        {1.5e15, "1500000000000000.0"},
        {1234567890123456.0, "1234567890123456.0"},
        // point inside the digits
        {12.34, "12.34"},
        {0.5e1, "5.0"},
        {1.0000000000000002, "1.0000000000000002"},
        {123456.789, "123456.789"},
        // small values with up to four zeros after the point
        {0.1, "0.1"},
        {0.001234, "0.001234"},
        {0.00001, "0.00001"},
        {-0.000015, "-0.000015"},
        // everything else in exponent form
        {1e16, "1e16"},
        {1.5e16, "1.5e16"},
        {12345678901234567.0, "1.2345678901234568e16"},
        {1.5e20, "1.5e20"},
        {1e-6, "1e-6"},
        {1e-7, "1e-7"},
        {-2.5e-7, "-2.5e-7"},
        {1.234e-300, "1.234e-300"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {-std::numeric_limits<double>::min(), "-2.2250738585072014e-308"},
    };
    for (const FloatCase& c : cases) EXPECT_EQ(text_of_double(c.value), c.expected) << c.expected;
}

TEST(Floats, NonFiniteValuesAreWrittenAsNull) {
    EXPECT_EQ(text_of_double(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(text_of_double(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(text_of_double(-std::numeric_limits<double>::infinity()), "null");
}

std::size_t count_digits(std::string_view s, std::size_t from) {
    std::size_t end = from;
    while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
    return end - from;
}

// One of the accepted shapes: "-"? then "I.F" (I is "0" or up to 16 digits without a leading
// zero, F one or more digits, ending in a zero only when it is the single zero), or "D[.F]e[-]X" (D and X's first digit
// non-zero).
bool has_valid_layout(std::string_view s) {
    if (s.starts_with('-')) s.remove_prefix(1);
    const std::size_t lead = count_digits(s, 0);
    if (lead == 0 || (lead > 1 && s[0] == '0') || lead > 16) return false;
    std::size_t pos = lead;
    bool has_fraction = false;
    if (pos < s.size() && s[pos] == '.') {
        const std::size_t frac = count_digits(s, pos + 1);
        if (frac == 0) return false;
        pos += 1 + frac;
        if (pos == s.size()) return frac == 1 || s.back() != '0';
        has_fraction = true;
    }
    // Shortest digits never end in a zero, so a fraction before "e" cannot either.
    if (has_fraction && s[pos - 1] == '0') return false;
    if (lead != 1 || s[0] == '0' || pos >= s.size() || s[pos] != 'e') return false;
    ++pos;
    if (pos < s.size() && s[pos] == '-') ++pos;
    const std::size_t exp = count_digits(s, pos);
    return exp > 0 && s[pos] != '0' && pos + exp == s.size();
}

TEST(Floats, LayoutCheckerRejectsOtherShapes) {
    for (std::string_view bad :
         {"1", "1.", ".5", "01.5", "1.50", "1e+16", "1.0e16", "10e16", "1e016", "0e5", "1.5E3", " 1.0"}) {
        EXPECT_FALSE(has_valid_layout(bad)) << bad;
    }
    for (std::string_view good : {"0.0", "-0.0", "1e16", "1.5e-7", "0.00001", "1234567890123456.0"}) {
        EXPECT_TRUE(has_valid_layout(good)) << good;
    }
}

// Random bit patterns: every finite double must read back exactly and use one of the layouts.
TEST(Floats, RandomDoublesReadBackExactly) {
    std::mt19937_64 rng(20240611);
    int checked = 0;
    while (checked < 20000) {
        const double value = std::bit_cast<double>(rng());
        if (!std::isfinite(value)) continue;
        ++checked;
        const std::string text = text_of_double(value);
        ASSERT_TRUE(has_valid_layout(text)) << text;
        const double back = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
        ASSERT_LE(text.size(), 24u) << text;
    }
}

TEST(Containers, EmptyAndNestedContainersAreCompact) {
    EXPECT_EQ(to_json_text(JsonValue::make_array(JsonArray())), "[]");
    EXPECT_EQ(to_json_text(JsonValue::make_object(JsonObject())), "{}");

    std::vector<std::pair<std::string_view, JsonValue>> members;
    members.emplace_back("a", JsonValue::make_array(JsonArray()));
    EXPECT_EQ(to_json_text(object_of(std::move(members))), R"({"a":[]})");

    std::vector<JsonValue> inner;
    inner.push_back(JsonValue::make_unsigned(2));
    inner.push_back(JsonValue::make_array(JsonArray()));
    std::vector<JsonValue> outer;
    outer.push_back(JsonValue::make_unsigned(1));
    outer.push_back(JsonValue::make_array(std::move(inner)));
    outer.push_back(JsonValue::make_object(JsonObject()));
    outer.push_back(JsonValue::make_string("x y"));
    EXPECT_EQ(to_json_text(JsonValue::make_array(std::move(outer))), R"([1,[2,[]],{},"x y"])");
}

TEST(Containers, MembersAreWrittenInKeyOrder) {
    std::vector<std::pair<std::string_view, JsonValue>> members;
    members.emplace_back("b", JsonValue::make_null());
    members.emplace_back("a", JsonValue::make_null());
    members.emplace_back("B", JsonValue::make_null());
    EXPECT_EQ(to_json_text(object_of(std::move(members))), R"({"B":null,"a":null,"b":null})");
}

TEST(Containers, MixedTreeHasNoWhitespaceOutsideStrings) {
    std::vector<std::pair<std::string_view, JsonValue>> members;
    members.emplace_back("list", JsonValue::array_from_texts(std::vector<std::string_view>{"p q", "\n"}));
    members.emplace_back("num", JsonValue::make_double(2.5));
    members.emplace_back("neg", JsonValue::make_signed(-1));
    members.emplace_back("t", JsonValue::make_bool(true));
    members.emplace_back("nan", JsonValue::make_double(std::nan("")));
    EXPECT_EQ(to_json_text(object_of(std::move(members))),
              R"({"list":["p q","\n"],"nan":null,"neg":-1,"num":2.5,"t":true})");
}

TEST(WriteJson, AppendsToExistingText) {
    std::string out = "prefix:";
    write_json(JsonValue::make_array(JsonArray()), out);
    write_json(JsonValue::make_string("s"), out);
    EXPECT_EQ(out, R"(prefix:[]"s")");
}

// Appending far past what was reserved keeps every earlier byte, and the buffer is ASCII until
// a text with a byte of 0x80 or above is written (escapes never make it non-ASCII).
TEST(WriteJson, TextBufferGrowsKeepingItsTextAndKnowsWhetherItIsAscii) {
    TextBuffer out;
    out.reserve(4);
    std::string expected;
    for (int i = 0; i < 2000; ++i) {
        const std::string piece = std::string("p").append(std::to_string(i)).append("\n");
        write_json(JsonValue::make_string(piece), out);
        expected += to_json_text(JsonValue::make_string(piece));
        out.append_ascii(",");
        expected += ",";
    }
    EXPECT_EQ(out.view(), expected);
    EXPECT_TRUE(out.ascii());
    write_json(JsonValue::make_string("\x7f\x01"), out);
    EXPECT_TRUE(out.ascii());
    write_json(JsonValue::make_string("\xc3\xa9"), out);
    EXPECT_FALSE(out.ascii());
    EXPECT_EQ(out.view().substr(expected.size()), "\"\x7f\\u0001\"\"\xc3\xa9\"");
}

// A sink that grows to exactly what is asked for and remembers the largest room asked for.
class ExactSink final : public TextSink {
public:
    explicit ExactSink(std::size_t capacity) : storage_(capacity, '\0') { set(0, capacity); }
    std::string_view view() const { return {storage_.data(), size()}; }
    std::size_t grows = 0;
    std::size_t largest_request = 0;

private:
    void grow(std::size_t count) override {
        ++grows;
        largest_request = std::max(largest_request, count);
        const std::size_t size = this->size();
        storage_.resize(size + count);
        set(size, storage_.size());
    }
    void set(std::size_t size, std::size_t capacity) {
        begin_ = storage_.data();
        cursor_ = begin_ + size;
        limit_ = begin_ + capacity;
    }
    std::string storage_;
};

// Long texts of dense escapes of every kind, with plain and high bytes, placed so that some
// straddle the ends of the blocks and pieces the scans and the writer work in.
std::string dense_text(std::size_t size, std::uint32_t seed) {
    const std::string_view alphabet = "aaaaaaaaaaaa\"\\\n\x01\x1f \x7f\x80\xff"sv;
    std::mt19937 random(seed);
    std::string text(size, '\0');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    return text;
}

TEST(Measure, EscapedSizeOfLongTextsIsExact) {
    for (const std::size_t size : {std::size_t{15}, std::size_t{16}, std::size_t{4095}, std::size_t{16 * 255},
                                   std::size_t{16 * 255 + 17}, std::size_t{100'003}}) {
        const std::string text = dense_text(size, static_cast<std::uint32_t>(size));
        EXPECT_EQ(escaped_size(text), text_of_string(text).size() - 2) << size;
        const std::string plain(size, 'p');
        EXPECT_EQ(escaped_size(plain), size);
        std::string quotes(size, 'q');  // escapes but no control byte: counted a block at a time
        for (std::size_t i = 0; i < size; i += 3) quotes[i] = i % 2 == 0 ? '"' : '\\';
        EXPECT_EQ(escaped_size(quotes), text_of_string(quotes).size() - 2) << size;
    }
}

// A value whose bound is over kLargestRoom is written as it goes: the same text as when it is
// written whole, while no room asked for is much more than a piece of a long text; written into
// a sink of exactly its measured size, it never grows the sink.
TEST(WriteJson, LargeValuesAreWrittenAsTheyGoWithTheSameText) {
    const std::string escaped = dense_text(300'001, 7);
    const std::string plain_wide = std::string(200'000, 'w') + "\xc3\xa9";
    JsonArray many;
    for (int i = 0; i < 5000; ++i)
        many.push_back(JsonValue::make_string(dense_text(40, static_cast<std::uint32_t>(i))));
    JsonObject object;
    object.insert("escaped, unclassified", JsonValue::make_string(JsonText::view_of(escaped)));
    object.insert("escaped, classified", JsonValue::make_string(escaped));
    object.insert("plain, classified", JsonValue::make_string(plain_wide));
    object.insert("plain, unclassified", JsonValue::make_string(JsonText::view_of(plain_wide)));
    object.insert("many", JsonValue::make_array(std::move(many)));
    JsonArray scalars;
    scalars.push_back(JsonValue::make_signed(-3));
    scalars.push_back(JsonValue::make_double(0.25));
    scalars.push_back(JsonValue::make_null());
    scalars.push_back(JsonValue::make_bool(false));
    object.insert("scalars", JsonValue::make_array(std::move(scalars)));
    const JsonValue tree = JsonValue::make_object(std::move(object));
    const std::string whole = to_json_text(tree);
    const std::size_t bound = json_size_bound_of_text(whole.size());
    ASSERT_GT(bound, kLargestRoom);

    ExactSink growing(0);
    write_json_within(tree, bound, growing);
    EXPECT_EQ(growing.view(), whole);
    EXPECT_FALSE(growing.ascii());
    EXPECT_GT(growing.grows, 10U);
    EXPECT_LE(growing.largest_request, json_size_bound_of_text(std::size_t{64} << 10) + 8);

    ExactSink exact(measure_json(tree).bytes);
    write_json_within(tree, bound, exact);
    EXPECT_EQ(exact.view(), whole);
    EXPECT_EQ(exact.grows, 0U);
}

// Written into room reserved beforehand, every token is checked against the room's end where
// assert() is on (the sanitizer build, the C++ tests' build): a bound one byte short of the text
// stops the program at the write that would pass it; the exact size is enough.
TEST(WriteJson, AWritePastTheReservedRoomStopsWhereChecked) {
#if defined(NDEBUG)
    GTEST_SKIP() << "assert() is off in this build";
#else
    JsonObject object;
    object.insert("plain", JsonValue::make_string("a plain text"));
    object.insert("escaped", JsonValue::make_string(JsonText::view_of("\"q\" \x01")));
    object.insert("flag", JsonValue::make_bool(true));
    const JsonValue value = JsonValue::make_object(std::move(object));
    const std::size_t size = measure_json(value).bytes;
    TextBuffer exact;
    write_json_within(value, size, exact);
    EXPECT_EQ(exact.view(), to_json_text(value));
    EXPECT_DEATH(
        {
            TextBuffer short_of_one;
            write_json_within(value, size - 1, short_of_one);
        },
        "a write passes the reserved room");
    const JsonValue text = JsonValue::make_string(JsonText::view_of("\x01\x02"));
    EXPECT_DEATH(
        {
            TextBuffer short_of_one;
            write_json_within(text, measure_json(text).bytes - 1, short_of_one);
        },
        "a write passes the reserved room");
#endif
}

}  // namespace
}  // namespace tavrel::json
