// Bytes sixteen at a time: the few primitives that every byte scan of tavrel is written with, in
// three versions chosen by the target (SSE2 on x86-64, NEON on aarch64, plain C++ elsewhere or when
// TAVREL_PORTABLE_SCAN is defined), and the same primitives on eight bytes in a word and on one
// byte alone, so that a byte set written once as a template can be proved against its table.
//
// The types: Bytes holds sixteen bytes, Lanes says for each of them (a lane) whether it passed a
// test. A set lane has its top bit set and an unset lane is zero; the other bits of a set lane
// are the version's own. Lane i is the byte at offset i of the load.
//
//   load(p), store(p, bytes)          sixteen bytes, unaligned
//   eq(bytes, c)                      lanes of the bytes equal to c
//   below(bytes, limit)               lanes of the bytes below limit, unsigned
//   within(bytes, low, high)          lanes of the bytes from low to high, unsigned
//   below_or_high(bytes, limit)       lanes of the bytes below limit or of 0x80 up (limit <= 0x80)
//   high(bytes)                       lanes of the bytes of 0x80 or above
//   a | b, a & b, ~a                  on Lanes; bytes | bytes, bytes | c on Bytes
//   any(lanes), mask(lanes)           whether a lane is set; one bit per lane, lane i in bit i
//   any_high(bytes)                   whether a byte is 0x80 or above (bytes or-ed together first)
//   last_lanes(n)                     the last n lanes (1 to 16): a load that ends where a text ends
//   LaneCounts                        counts set lanes per lane, up to kCountLimit blocks at a time
//
// Word (eight bytes in a std::uint64_t) and Byte (one byte) have the same functions, constexpr;
// WordLanes keeps each lane in the top bit of its byte, ByteLane is a bool.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/inline.hpp"

#if defined(TAVREL_PORTABLE_SCAN)
#define TAVREL_SCAN_PORTABLE 1
#elif defined(__SSE2__)
#define TAVREL_SCAN_SSE2 1
#include <emmintrin.h>
#elif defined(__ARM_NEON) && defined(__aarch64__)
#define TAVREL_SCAN_NEON 1
#include <arm_neon.h>
#else
#define TAVREL_SCAN_PORTABLE 1
#endif

namespace tavrel::scan {

// The scans find the first byte of a word or block in its lowest bits.
static_assert(std::endian::native == std::endian::little);

inline constexpr std::size_t kBlock = 16;

// ---- Word: eight bytes in a std::uint64_t, each lane in the top bit of its byte --------------------

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

struct Word {
    std::uint64_t bits;
};
struct WordLanes {
    std::uint64_t bits;  // 0x80 in each set lane, nothing else
};

TAVREL_INLINE Word load_word(const char* p) {
    std::uint64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return {bits};
}
TAVREL_INLINE void store_word(char* out, Word word) { std::memcpy(out, &word.bits, sizeof word.bits); }

constexpr WordLanes operator|(WordLanes a, WordLanes b) { return {a.bits | b.bits}; }
constexpr WordLanes operator&(WordLanes a, WordLanes b) { return {a.bits & b.bits}; }
constexpr WordLanes operator~(WordLanes a) { return {a.bits ^ kHighs}; }
constexpr Word operator|(Word a, Word b) { return {a.bits | b.bits}; }
constexpr Word operator|(Word a, unsigned char c) { return {a.bits | kOnes * c}; }

// No carry crosses a byte in these: each sum is of a byte's low seven bits and at most 0x80.
// A byte whose top bit is clear is below `limit` when adding 0x80 - limit leaves its top bit
// clear; for a limit above 0x80, a byte with its top bit set is below it when its low seven bits
// are below limit - 0x80.
constexpr WordLanes below(Word w, unsigned char limit) {
    const std::uint64_t low7 = w.bits & ~kHighs;
    if (limit <= 0x80) return {~((low7 + kOnes * (0x80 - limit)) | w.bits) & kHighs};
    return {(~w.bits | (w.bits & ~(low7 + kOnes * (0x100 - limit)))) & kHighs};
}
// The lanes of the zero bytes: a byte's top bit in the sum is set when its low seven bits are not
// zero, and or-ing in the byte accounts for its own top bit.
constexpr WordLanes eq(Word w, unsigned char c) {
    const std::uint64_t x = w.bits ^ (kOnes * c);
    return {~(((x & ~kHighs) + ~kHighs) | x) & kHighs};
}
constexpr WordLanes within(Word w, unsigned char low, unsigned char high) {
    const WordLanes from_low = ~below(w, low);
    return high == 0xFF ? from_low : from_low & below(w, static_cast<unsigned char>(high + 1));
}
constexpr WordLanes below_or_high(Word w, unsigned char limit) { return {below(w, limit).bits | (w.bits & kHighs)}; }
constexpr WordLanes high(Word w) { return {w.bits & kHighs}; }
constexpr bool any(WordLanes lanes) { return lanes.bits != 0; }
constexpr bool any_high(Word w) { return (w.bits & kHighs) != 0; }
// The top bits gathered into the top byte by one multiplication (no two products meet there).
constexpr unsigned mask(WordLanes lanes) { return static_cast<unsigned>((lanes.bits * 0x0002040810204081ULL) >> 56); }

// ---- Byte: one byte alone, the model every lane test is proved against --------------------------

struct Byte {
    unsigned char value;
};
struct ByteLane {
    bool set;
};
constexpr ByteLane operator|(ByteLane a, ByteLane b) { return {a.set || b.set}; }
constexpr ByteLane operator&(ByteLane a, ByteLane b) { return {a.set && b.set}; }
constexpr ByteLane operator~(ByteLane a) { return {!a.set}; }
constexpr Byte operator|(Byte a, unsigned char c) { return {static_cast<unsigned char>(a.value | c)}; }
constexpr ByteLane eq(Byte b, unsigned char c) { return {b.value == c}; }
constexpr ByteLane below(Byte b, unsigned char limit) { return {b.value < limit}; }
constexpr ByteLane within(Byte b, unsigned char low, unsigned char high) { return {b.value >= low && b.value <= high}; }
constexpr ByteLane below_or_high(Byte b, unsigned char limit) { return {b.value < limit || b.value >= 0x80}; }
constexpr ByteLane high(Byte b) { return {b.value >= 0x80}; }
constexpr bool any(ByteLane lane) { return lane.set; }

// ---- Bytes: sixteen bytes, in the target's version ---------------------------------------------

// The two SIMD versions hold the sixteen bytes in one vector, a set lane all ones; what they do
// alike is written once, on these few operations of each.
#if defined(TAVREL_SCAN_SSE2)
inline constexpr std::string_view kVersion = "sse2";
using Vector = __m128i;
namespace native {
TAVREL_INLINE Vector splat(unsigned char c) { return _mm_set1_epi8(static_cast<char>(c)); }
TAVREL_INLINE Vector or_(Vector a, Vector b) { return _mm_or_si128(a, b); }
TAVREL_INLINE Vector and_(Vector a, Vector b) { return _mm_and_si128(a, b); }
TAVREL_INLINE Vector xor_(Vector a, Vector b) { return _mm_xor_si128(a, b); }
}  // namespace native
#elif defined(TAVREL_SCAN_NEON)
inline constexpr std::string_view kVersion = "neon";
using Vector = uint8x16_t;
namespace native {
TAVREL_INLINE Vector splat(unsigned char c) { return vdupq_n_u8(c); }
TAVREL_INLINE Vector or_(Vector a, Vector b) { return vorrq_u8(a, b); }
TAVREL_INLINE Vector and_(Vector a, Vector b) { return vandq_u8(a, b); }
TAVREL_INLINE Vector xor_(Vector a, Vector b) { return veorq_u8(a, b); }
}  // namespace native
#endif

#if defined(TAVREL_SCAN_SSE2) || defined(TAVREL_SCAN_NEON)
struct Bytes {
    Vector v;
};
struct Lanes {
    Vector v;  // 0xFF in each set lane, 0 elsewhere
};
TAVREL_INLINE Bytes zero_bytes() { return {native::splat(0)}; }
TAVREL_INLINE Lanes no_lanes() { return {native::splat(0)}; }
TAVREL_INLINE Lanes all_lanes() { return {native::splat(0xFF)}; }
TAVREL_INLINE Lanes operator|(Lanes a, Lanes b) { return {native::or_(a.v, b.v)}; }
TAVREL_INLINE Lanes operator&(Lanes a, Lanes b) { return {native::and_(a.v, b.v)}; }
TAVREL_INLINE Lanes operator~(Lanes a) { return {native::xor_(a.v, native::splat(0xFF))}; }
TAVREL_INLINE Bytes operator|(Bytes a, Bytes b) { return {native::or_(a.v, b.v)}; }
TAVREL_INLINE Bytes operator|(Bytes a, unsigned char c) { return {native::or_(a.v, native::splat(c))}; }
#endif

#if defined(TAVREL_SCAN_SSE2)
TAVREL_INLINE Bytes load(const char* p) { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
TAVREL_INLINE void store(char* out, Bytes b) { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), b.v); }
TAVREL_INLINE Lanes eq(Bytes b, unsigned char c) { return {_mm_cmpeq_epi8(b.v, native::splat(c))}; }
// Unsigned, in two operations: moved so that `low` lands on -128, a byte of the range is one of
// the `high - low + 1` smallest signed values, below -128 plus that count (all 256: every byte).
TAVREL_INLINE Lanes within(Bytes b, unsigned char low, unsigned char high) {
    const unsigned size = static_cast<unsigned char>(high - low) + 1U;
    if (size == 256) return all_lanes();
    const __m128i moved = _mm_add_epi8(b.v, native::splat(static_cast<unsigned char>(0x80U - low)));
    return {_mm_cmplt_epi8(moved, _mm_set1_epi8(static_cast<char>(static_cast<int>(size) - 128)))};
}
TAVREL_INLINE Lanes below(Bytes b, unsigned char limit) {
    return limit == 0 ? no_lanes() : within(b, 0, static_cast<unsigned char>(limit - 1));
}
// Signed, the bytes of 0x80 and above are below zero: one compare finds them with the others
// (but none is below the limit 0x80, which is -128).
TAVREL_INLINE Lanes below_or_high(Bytes b, unsigned char limit) {
    return limit >= 0x80 ? all_lanes() : Lanes{_mm_cmplt_epi8(b.v, native::splat(limit))};
}
TAVREL_INLINE Lanes high(Bytes b) { return {_mm_cmplt_epi8(b.v, _mm_setzero_si128())}; }
TAVREL_INLINE unsigned mask(Lanes lanes) { return static_cast<unsigned>(_mm_movemask_epi8(lanes.v)); }
TAVREL_INLINE bool any(Lanes lanes) { return _mm_movemask_epi8(lanes.v) != 0; }
TAVREL_INLINE bool any_high(Bytes b) { return _mm_movemask_epi8(b.v) != 0; }
TAVREL_INLINE Lanes last_lanes(std::size_t n) {
    const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return {_mm_cmpgt_epi8(lane, _mm_set1_epi8(static_cast<char>(15 - n)))};
}
TAVREL_INLINE void prefetch(const char* p) { _mm_prefetch(p, _MM_HINT_T0); }

// A set lane is -1: subtracting it counts one.
class LaneCounts {
public:
    TAVREL_INLINE void add(Lanes lanes) { counts_ = _mm_sub_epi8(counts_, lanes.v); }
    TAVREL_INLINE std::size_t total() const {
        const __m128i sums = _mm_sad_epu8(counts_, _mm_setzero_si128());
        return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
               static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }

private:
    __m128i counts_ = _mm_setzero_si128();
};

#elif defined(TAVREL_SCAN_NEON)
TAVREL_INLINE Bytes load(const char* p) { return {vld1q_u8(reinterpret_cast<const std::uint8_t*>(p))}; }
TAVREL_INLINE void store(char* out, Bytes b) { vst1q_u8(reinterpret_cast<std::uint8_t*>(out), b.v); }
TAVREL_INLINE Lanes eq(Bytes b, unsigned char c) { return {vceqq_u8(b.v, native::splat(c))}; }
TAVREL_INLINE Lanes within(Bytes b, unsigned char low, unsigned char high) {
    return {vcleq_u8(vsubq_u8(b.v, native::splat(low)), native::splat(static_cast<unsigned char>(high - low)))};
}
TAVREL_INLINE Lanes below(Bytes b, unsigned char limit) { return {vcltq_u8(b.v, native::splat(limit))}; }
TAVREL_INLINE Lanes below_or_high(Bytes b, unsigned char limit) {
    if (limit >= 0x80) return all_lanes();
    return {vcltq_s8(vreinterpretq_s8_u8(b.v), vdupq_n_s8(static_cast<std::int8_t>(limit)))};
}
TAVREL_INLINE Lanes high(Bytes b) { return {vcltzq_s8(vreinterpretq_s8_u8(b.v))}; }
// Each lane keeps its own bit of a byte, and the bytes of each half are added up.
TAVREL_INLINE unsigned mask(Lanes lanes) {
    static constexpr std::uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t bits = vandq_u8(lanes.v, vld1q_u8(kBits));
    return static_cast<unsigned>(vaddv_u8(vget_low_u8(bits))) | static_cast<unsigned>(vaddv_u8(vget_high_u8(bits)))
                                                                    << 8;
}
TAVREL_INLINE bool any(Lanes lanes) { return vmaxvq_u8(lanes.v) != 0; }
TAVREL_INLINE bool any_high(Bytes b) { return vmaxvq_u8(b.v) >= 0x80; }
TAVREL_INLINE Lanes last_lanes(std::size_t n) {
    static constexpr std::uint8_t kLane[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    return {vcgeq_u8(vld1q_u8(kLane), native::splat(static_cast<unsigned char>(16 - n)))};
}
TAVREL_INLINE void prefetch(const char* p) { __builtin_prefetch(p, 0, 3); }

class LaneCounts {
public:
    TAVREL_INLINE void add(Lanes lanes) { counts_ = vsubq_u8(counts_, lanes.v); }
    TAVREL_INLINE std::size_t total() const { return vaddlvq_u8(counts_); }

private:
    uint8x16_t counts_ = vdupq_n_u8(0);
};

#else
inline constexpr std::string_view kVersion = "portable";

// Two words, the first eight bytes in `low`.
struct Bytes {
    Word low, high;
};
struct Lanes {
    WordLanes low, high;
};

TAVREL_INLINE Bytes load(const char* p) { return {load_word(p), load_word(p + 8)}; }
TAVREL_INLINE void store(char* out, Bytes b) {
    store_word(out, b.low);
    store_word(out + 8, b.high);
}
constexpr Bytes zero_bytes() { return {{0}, {0}}; }
constexpr Lanes no_lanes() { return {{0}, {0}}; }
constexpr Lanes all_lanes() { return {{kHighs}, {kHighs}}; }
constexpr Lanes operator|(Lanes a, Lanes b) { return {a.low | b.low, a.high | b.high}; }
constexpr Lanes operator&(Lanes a, Lanes b) { return {a.low & b.low, a.high & b.high}; }
constexpr Lanes operator~(Lanes a) { return {~a.low, ~a.high}; }
constexpr Bytes operator|(Bytes a, Bytes b) { return {a.low | b.low, a.high | b.high}; }
constexpr Bytes operator|(Bytes a, unsigned char c) { return {a.low | c, a.high | c}; }
constexpr Lanes eq(Bytes b, unsigned char c) { return {eq(b.low, c), eq(b.high, c)}; }
constexpr Lanes below(Bytes b, unsigned char limit) { return {below(b.low, limit), below(b.high, limit)}; }
constexpr Lanes within(Bytes b, unsigned char low, unsigned char high) {
    return {within(b.low, low, high), within(b.high, low, high)};
}
constexpr Lanes below_or_high(Bytes b, unsigned char limit) {
    return {below_or_high(b.low, limit), below_or_high(b.high, limit)};
}
constexpr Lanes high(Bytes b) { return {high(b.low), high(b.high)}; }
constexpr unsigned mask(Lanes lanes) { return mask(lanes.low) | mask(lanes.high) << 8; }
constexpr bool any(Lanes lanes) { return any(lanes.low | lanes.high); }
constexpr bool any_high(Bytes b) { return any_high(b.low | b.high); }
constexpr Lanes last_lanes(std::size_t n) {
    const std::size_t first = 16 - n;  // the first lane set, 0 to 15
    if (first >= 8) return {{0}, {kHighs << (8 * (first - 8))}};
    return {{kHighs << (8 * first)}, {kHighs}};
}
TAVREL_INLINE void prefetch(const char* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p, 0, 3);
#else
    static_cast<void>(p);
#endif
}

// A count per lane in each byte of two words: a set lane adds its top bit moved to the bottom.
class LaneCounts {
public:
    constexpr void add(Lanes lanes) {
        low_ += lanes.low.bits >> 7;
        high_ += lanes.high.bits >> 7;
    }
    // The bytes added in pairs into sixteen-bit fields (at most 510 each), then those together.
    constexpr std::size_t total() const {
        constexpr std::uint64_t kEven = 0x00FF00FF00FF00FFULL, kFields = 0x0001000100010001ULL;
        const std::uint64_t pairs = (low_ & kEven) + ((low_ >> 8) & kEven) + (high_ & kEven) + ((high_ >> 8) & kEven);
        return static_cast<std::size_t>((pairs * kFields) >> 48);
    }

private:
    std::uint64_t low_ = 0, high_ = 0;
};
#endif

// Blocks added to a LaneCounts before its total must be taken: a lane counts to 255.
inline constexpr std::size_t kCountLimit = 255;

// ---- Texts whose last sixteen bytes can always be loaded ----------------------------------------

// A text after which, or rather before whose end, sixteen bytes are readable whatever its length:
// storage that keeps at least sixteen bytes of its own before every text it holds (a request's
// block does, see Request::loadable), so a text shorter than a block is one load that ends where
// it ends. Only such storage makes one, by saying so.
class LoadableText {
public:
    static constexpr LoadableText with_block_before(std::string_view text) noexcept { return LoadableText(text); }
    constexpr std::string_view view() const noexcept { return text_; }

private:
    constexpr explicit LoadableText(std::string_view text) noexcept : text_(text) {}
    std::string_view text_;
};

// Calls visit(block, valid) for blocks of sixteen bytes that cover the text, where `valid` has
// the lanes of the block that hold bytes of the text; a text shorter than a block is one load
// that ends where the text ends. Blocks after the first may overlap the one before.
template <class Visit>
TAVREL_INLINE void for_each_block(LoadableText text, Visit visit) {
    const char* p = text.view().data();
    const std::size_t size = text.view().size();
    if (size == 0) return;
    if (size < kBlock) {
        visit(load(p + size - kBlock), last_lanes(size));
        return;
    }
    const char* const last = p + size - kBlock;
    for (; p < last; p += kBlock) visit(load(p), all_lanes());
    visit(load(last), all_lanes());
}

// Whether lanes_of(block) sets a lane that holds a byte of the text.
template <class LanesOf>
TAVREL_INLINE bool any_lane(LoadableText text, LanesOf lanes_of) {
    Lanes found = no_lanes();
    for_each_block(text, [&](Bytes block, Lanes valid) { found = found | (lanes_of(block) & valid); });
    return any(found);
}

// ---- Byte sets: the byte values a lane test must pick out, from a rule's table ------------------

class ByteSet {
public:
    template <class Member>
    static constexpr ByteSet where(Member member) {
        ByteSet set;
        for (unsigned byte = 0; byte < 256; ++byte) {
            if (member(static_cast<unsigned char>(byte))) set.bits_[byte / 64] |= std::uint64_t{1} << (byte % 64);
        }
        return set;
    }
    constexpr bool contains(unsigned byte) const { return (bits_[byte / 64] >> (byte % 64) & 1) != 0; }
    constexpr std::size_t size() const {
        std::size_t count = 0;
        for (std::uint64_t part : bits_) count += static_cast<std::size_t>(std::popcount(part));
        return count;
    }
    // How many bytes from 0 up are all members: every byte below the result is one.
    constexpr unsigned leading() const {
        unsigned byte = 0;
        while (byte < 256 && contains(byte)) ++byte;
        return byte;
    }
    // Its N members, in order; a set of another size is refused (at compile time, in a constant).
    template <std::size_t N>
    constexpr std::array<unsigned char, N> members() const {
        if (size() != N) throw "the set does not have the number of members asked for";
        std::array<unsigned char, N> found{};
        std::size_t count = 0;
        for (unsigned byte = 0; byte < 256; ++byte) {
            if (contains(byte)) found[count++] = static_cast<unsigned char>(byte);
        }
        return found;
    }

private:
    std::array<std::uint64_t, 4> bits_{};
};

// Whether `lanes_of` picks out exactly the bytes of `set`: for every byte value in the model of
// one byte, and in eight-byte words, the byte in every lane at once and in each lane among
// `filler` bytes. The portable Bytes are two such words; the SIMD versions are swept by the C++
// tests.
template <class LanesOf>
consteval bool picks_out(ByteSet set, LanesOf lanes_of, unsigned char filler = 'a') {
    const std::uint64_t filler_lanes = set.contains(filler) ? kHighs : 0;
    for (unsigned byte = 0; byte < 256; ++byte) {
        const bool member = set.contains(byte);
        if (any(lanes_of(Byte{static_cast<unsigned char>(byte)})) != member) return false;
        if (lanes_of(Word{kOnes * byte}).bits != (member ? kHighs : 0)) return false;
        for (unsigned lane = 0; lane < 8; ++lane) {
            const std::uint64_t place = std::uint64_t{0xFF} << (8 * lane);
            const Word word{(kOnes * filler & ~place) | (std::uint64_t{byte} << (8 * lane))};
            const std::uint64_t expected = (filler_lanes & ~place) | (member ? std::uint64_t{0x80} << (8 * lane) : 0);
            if (lanes_of(word).bits != expected) return false;
        }
    }
    return true;
}

}  // namespace tavrel::scan
