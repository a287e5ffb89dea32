// The byte-scan layer: its primitives against the one-byte model for every byte value at every
// lane of a block, and every scan written on it (the JSON writer's, the document's) for every
// byte value at every place of a block and of a short tail. Run on every build: SSE2, NEON and
// the portable one (scan::kVersion says which).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_text.hpp"
#include "json/json_writer.hpp"
#include "lib/document.hpp"
#include "scan/bytes16.hpp"

namespace tavrel::scan {
namespace {

// The word primitives against the byte model, at compile time, for every constant, limit and
// byte value: the byte in every lane at once, and alone in lane (byte % 8) among others that
// differ from it. (picks_out, which tries every lane, proves each named byte set in its header;
// every lane of the built version is swept at run time below.)
template <class OfWord, class OfByte>
consteval bool word_agrees(OfWord of_word, OfByte of_byte) {
    for (unsigned byte = 0; byte < 256; ++byte) {
        const bool set = any(of_byte(Byte{static_cast<unsigned char>(byte)}));
        if (of_word(Word{kOnes * byte}).bits != (set ? kHighs : 0)) return false;
        const unsigned filler = byte ^ 0x55, lane = byte % 8;
        const bool filler_set = any(of_byte(Byte{static_cast<unsigned char>(filler)}));
        const std::uint64_t place = std::uint64_t{0xFF} << (8 * lane);
        const Word word{(kOnes * filler & ~place) | (std::uint64_t{byte} << (8 * lane))};
        const std::uint64_t expected =
            (filler_set ? kHighs & ~place : 0) | (set ? std::uint64_t{0x80} << (8 * lane) : 0);
        if (of_word(word).bits != expected) return false;
    }
    return true;
}

// Each in steps of constants, which keeps every step within the compiler's count of operations.
enum class Primitive { Eq, Below, BelowOrHigh };
consteval bool constants_agree(Primitive primitive, unsigned first, unsigned last) {
    for (unsigned c = first; c < last; ++c) {
        const auto k = static_cast<unsigned char>(c);
        const bool agrees =
            primitive == Primitive::Eq ? word_agrees([k](Word w) { return eq(w, k); }, [k](Byte b) { return eq(b, k); })
            : primitive == Primitive::Below
                ? word_agrees([k](Word w) { return below(w, k); }, [k](Byte b) { return below(b, k); })
                : word_agrees([k](Word w) { return below_or_high(w, k); }, [k](Byte b) { return below_or_high(b, k); });
        if (!agrees) return false;
    }
    return true;
}
static_assert(constants_agree(Primitive::Eq, 0, 128) && constants_agree(Primitive::Eq, 128, 256));
static_assert(constants_agree(Primitive::Below, 0, 128) && constants_agree(Primitive::Below, 128, 256));
static_assert(constants_agree(Primitive::BelowOrHigh, 0, 0x81));

consteval bool ranges_agree() {
    for (unsigned low = 0; low < 256; low += 17) {
        for (unsigned high = low; high < 256; high += 13) {
            const auto lo = static_cast<unsigned char>(low), hi = static_cast<unsigned char>(high);
            if (!word_agrees([=](Word w) { return within(w, lo, hi); }, [=](Byte b) { return within(b, lo, hi); }))
                return false;
        }
    }
    return true;
}
static_assert(ranges_agree());
static_assert(picks_out(ByteSet::where([](unsigned char b) { return b >= 0x80; }), [](auto b) { return high(b); }));

consteval bool masks_agree() {
    for (unsigned pattern = 0; pattern < 256; ++pattern) {
        std::uint64_t bits = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if (pattern >> lane & 1) bits |= std::uint64_t{0x80} << (8 * lane);
        }
        if (mask(WordLanes{bits}) != pattern) return false;
    }
    return true;
}
static_assert(masks_agree());

// The fillers around the swept byte: plain, zero, the top byte and one just past ASCII.
constexpr std::array<unsigned char, 4> kFillers = {'a', 0x00, 0xFF, 0x80};

// Each primitive on a block holding `value` at `lane` among `filler` bytes, as a lane mask,
// against the model applied to each of the sixteen bytes.
template <class OfBlock, class OfByte>
void sweep(const char* what, OfBlock of_block, OfByte of_byte) {
    for (const unsigned char filler : kFillers) {
        for (unsigned value = 0; value < 256; ++value) {
            for (unsigned lane = 0; lane < kBlock; ++lane) {
                std::array<char, kBlock> bytes;
                bytes.fill(static_cast<char>(filler));
                bytes[lane] = static_cast<char>(value);
                unsigned expected = 0;
                for (unsigned i = 0; i < kBlock; ++i) {
                    if (any(of_byte(Byte{static_cast<unsigned char>(bytes[i])}))) expected |= 1U << i;
                }
                const Lanes lanes = of_block(load(bytes.data()));
                ASSERT_EQ(mask(lanes), expected)
                    << what << ": byte " << value << " at " << lane << " among " << +filler;
                ASSERT_EQ(any(lanes), expected != 0) << what << ": byte " << value << " at " << lane;
            }
        }
    }
}

TEST(ScanPrimitives, EachAgreesWithTheOneByteModelAtEveryLane) {
    std::cout << "scan version: " << kVersion << "\n";
    for (const int constant :
         std::array<int, 12>{0x00, 0x01, 0x1F, 0x20, '"', '\'', '/', '\\', 0x7F, 0x80, 0xC2, 0xFF}) {
        const auto c = static_cast<unsigned char>(constant);
        sweep("eq", [c](Bytes b) { return eq(b, c); }, [c](Byte b) { return eq(b, c); });
        sweep("below", [c](Bytes b) { return below(b, c); }, [c](Byte b) { return below(b, c); });
        sweep("at or above", [c](Bytes b) { return ~below(b, c); }, [c](Byte b) { return ~below(b, c); });
        if (c <= 0x80) {
            sweep(
                "below or high", [c](Bytes b) { return below_or_high(b, c); },
                [c](Byte b) { return below_or_high(b, c); });
        }
    }
    const std::pair<unsigned char, unsigned char> ranges[] = {{0, 0x1F},    {'+', ':'}, {'a', 'z'},   {'!', '\''},
                                                              {0x80, 0xFF}, {0, 0xFF},  {0x7F, 0x80}, {0xC2, 0xC2},
                                                              {0, 0x7F},    {1, 0xFF},  {0x10, 0x90}, {0x40, 0xBF}};
    for (const auto& [low, high] : ranges) {
        sweep("within", [=](Bytes b) { return within(b, low, high); }, [=](Byte b) { return within(b, low, high); });
        // As the command's letters test: the bytes with 0x20 set, then a range.
        sweep(
            "or then within", [=](Bytes b) { return within(b | 0x20, low, high); },
            [=](Byte b) { return within(b | 0x20, low, high); });
    }
    sweep("high", [](Bytes b) { return high(b); }, [](Byte b) { return high(b); });
    sweep(
        "and", [](Bytes b) { return below(b, 0x60) & ~below(b, 0x20); },
        [](Byte b) { return below(b, 0x60) & ~below(b, 0x20); });
    sweep("or", [](Bytes b) { return eq(b, 'x') | eq(b, 0xFF); }, [](Byte b) { return eq(b, 'x') | eq(b, 0xFF); });
}

TEST(ScanPrimitives, AnyHighSeesATopBitAtEveryLane) {
    for (unsigned value = 0; value < 256; ++value) {
        for (unsigned lane = 0; lane < kBlock; ++lane) {
            std::array<char, kBlock> bytes;
            bytes.fill('a');
            bytes[lane] = static_cast<char>(value);
            EXPECT_EQ(any_high(load(bytes.data())), value >= 0x80) << value << " at " << lane;
            EXPECT_EQ(any_high(zero_bytes() | load(bytes.data())), value >= 0x80) << value << " at " << lane;
        }
    }
    EXPECT_FALSE(any(no_lanes()));
    EXPECT_EQ(mask(all_lanes()), 0xFFFFU);
}

TEST(ScanPrimitives, StoreWritesTheSixteenBytesLoaded) {
    std::array<char, 3 * kBlock> in{}, out{};
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<char>(i * 37 + 5);
    for (std::size_t at = 0; at <= kBlock; ++at) {
        out.fill('#');
        store(out.data() + at, load(in.data() + at));
        for (std::size_t i = 0; i < out.size(); ++i) {
            const bool inside = i >= at && i < at + kBlock;
            ASSERT_EQ(out[i], inside ? in[i] : '#') << at << " " << i;
        }
    }
}

TEST(ScanPrimitives, LastLanesAreTheLastN) {
    for (std::size_t n = 1; n <= kBlock; ++n) EXPECT_EQ(mask(last_lanes(n)), (0xFFFFU << (kBlock - n)) & 0xFFFFU) << n;
}

TEST(ScanPrimitives, LaneCountsAddUpToTheLimit) {
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        LaneCounts counts;
        std::size_t expected = 0;
        const std::size_t blocks = round == 0 ? kCountLimit : random() % (kCountLimit + 1);
        for (std::size_t i = 0; i < blocks; ++i) {
            std::array<char, kBlock> bytes;
            for (char& b : bytes) b = (round == 0 || random() % 3 == 0) ? '"' : 'x';
            expected += static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '"'));
            counts.add(eq(load(bytes.data()), '"'));
        }
        EXPECT_EQ(counts.total(), expected) << round;
    }
}

// A text inside storage that keeps a block of readable bytes before it, filled with the very
// byte looked for: the lanes before the text must not count.
TEST(LoadableText, AnyLaneSeesOnlyTheBytesOfTheText) {
    for (unsigned value = 0; value < 256; ++value) {
        const auto byte = static_cast<char>(value);
        const char other = value == 'a' ? 'b' : 'a';
        for (std::size_t size = 0; size <= 2 * kBlock + 3; ++size) {
            std::string storage(kBlock, byte);
            storage.append(size, other);
            const auto text = [&] { return LoadableText::with_block_before(std::string_view(storage).substr(kBlock)); };
            ASSERT_FALSE(any_lane(text(), [&](Bytes b) { return eq(b, static_cast<unsigned char>(byte)); }))
                << value << " " << size;
            for (std::size_t at = 0; at < size; ++at) {
                storage[kBlock + at] = byte;
                ASSERT_TRUE(any_lane(text(), [&](Bytes b) { return eq(b, static_cast<unsigned char>(byte)); }))
                    << value << " " << size << " " << at;
                storage[kBlock + at] = other;
            }
        }
    }
}

}  // namespace
}  // namespace tavrel::scan

namespace tavrel::json {
namespace {

// The JSON rule's scans, on blocks, against escape_letter itself (the table they were read from).
TEST(JsonScans, EscapeLanesAreTheRuleOnEveryLaneOfABlock) {
    scan::sweep(
        "escape", [](scan::Bytes b) { return detail::escape_lanes(b); },
        [](scan::Byte b) { return scan::ByteLane{escape_letter(b.value) != 0}; });
    scan::sweep(
        "control", [](scan::Bytes b) { return detail::control_lanes(b); },
        [](scan::Byte b) {
            return scan::ByteLane{escape_letter(b.value) != 0 && escape_letter(b.value) != static_cast<char>(b.value)};
        });
    scan::sweep(
        "quote", [](scan::Bytes b) { return detail::quote_lanes(b); },
        [](scan::Byte b) { return scan::ByteLane{escape_letter(b.value) == static_cast<char>(b.value)}; });
}

// The lengths around the blocks and words of the writer's scans: short tails, one block and
// words, two overlapping blocks, the block loop and its tail.
constexpr std::size_t kLengths[] = {1, 3, 4, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 40, 47, 48, 63};

// Every byte value at every place of texts of those lengths: the class, the escaped size and the
// written text, of a classified and of an unclassified text, agree with the byte written alone.
TEST(JsonScans, EveryByteAtEveryPlaceOfBlocksAndTails) {
    std::string alone[256];
    for (unsigned value = 0; value < 256; ++value) {
        const char letter = escape_letter(static_cast<unsigned char>(value));
        alone[value] = letter == 0 ? std::string(1, static_cast<char>(value)) : std::string{'\\', letter};
        if (letter == 'u')
            alone[value] += std::string("00") + "0123456789abcdef"[value >> 4] + "0123456789abcdef"[value & 15];
    }
    for (const std::size_t length : kLengths) {
        for (unsigned value = 0; value < 256; ++value) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string text(length, 'k');
                text[at] = static_cast<char>(value);
                const bool escaped = escape_letter(static_cast<unsigned char>(value)) != 0;
                const TextClass cls = classify_text(text);
                ASSERT_EQ(cls.needs_escape, escaped) << value << " at " << at << " of " << length;
                ASSERT_EQ(cls.non_ascii, value >= 0x80) << value << " at " << at << " of " << length;
                std::string expected = "\"";  // appended: `"\"" + std::string` trips GCC 12's -Wrestrict
                expected.append(text, 0, at).append(alone[value]).append(text, at + 1).append("\"");
                ASSERT_EQ(escaped_size(text), expected.size() - 2) << value << " at " << at << " of " << length;
                ASSERT_EQ(to_json_text(JsonValue::make_string(text)), expected) << value << " at " << at;
                const JsonValue unclassified = JsonValue::make_string(JsonText::view_of(text));
                ASSERT_EQ(to_json_text(unclassified), expected) << value << " at " << at << " of " << length;
                ASSERT_EQ(measure_json(unclassified).ascii, value < 0x80) << value << " at " << at;
                TextBuffer within;
                write_json_within(unclassified, json_size_bound_of_text(length) + 2, within);
                ASSERT_EQ(within.view(), expected) << value << " at " << at << " of " << length;
                ASSERT_EQ(within.ascii(), value < 0x80) << value << " at " << at << " of " << length;
            }
        }
    }
}

}  // namespace
}  // namespace tavrel::json

namespace tavrel {
namespace {

// The document's scan for "/": every byte value at every place of a path piece that spans a
// block and of one in a short tail, against the url cut by hand.
TEST(DocumentScans, EveryByteAtEveryPlaceOfAUrl) {
    for (const std::size_t length : {5, 16, 21, 35}) {
        for (unsigned value = 0; value < 256; ++value) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string tail(length, 'p');
                tail[at] = static_cast<char>(value);
                const std::string url = "h://host/" + tail;
                std::vector<std::string> pieces(1);
                for (const char c : tail) {
                    if (c == '/') {
                        pieces.emplace_back();
                    } else {
                        pieces.back() += c;
                    }
                }
                json::TextBuffer written;
                ASSERT_FALSE(
                    write_document(std::vector<Request>{Request(url, {}, HttpMethod::GET, std::nullopt)}, written));
                const std::string path =
                    R"("path":)" + json::to_json_text(json::JsonValue::array_from_texts(pieces)) + R"(,"protocol")";
                ASSERT_NE(written.view().find(path), std::string_view::npos) << value << " at " << at;
                ASSERT_NE(written.view().find(R"("host":"host")"), std::string_view::npos) << value;
            }
        }
    }
}

}  // namespace
}  // namespace tavrel
