// The copy of short texts: every length from 0 to past the call into memcpy, at every offset of
// the source, copies exactly its bytes and writes nothing around them.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "base/copy.hpp"

namespace tavrel {
namespace {

// Source bytes that differ at every place, so a byte copied from the wrong place shows.
std::string distinct_bytes(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(1 + (i * 7) % 251);
    return text;
}

TEST(CopyShort, CopiesEachLengthExactlyAndNothingAround) {
    const std::string source = distinct_bytes(200);
    for (std::size_t size = 0; size <= 130; ++size) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            std::string out(size + 32, '\xff');
            char* const end = copy_short(out.data() + 16, source.data() + offset, size);
            EXPECT_EQ(end, out.data() + 16 + size) << size;
            EXPECT_EQ(out.substr(16, size), source.substr(offset, size)) << size << " at " << offset;
            EXPECT_EQ(out.substr(0, 16), std::string(16, '\xff')) << size;
            EXPECT_EQ(out.substr(16 + size), std::string(16, '\xff')) << size;
        }
    }
}

TEST(CopyShort, FourToSixteenBytesByTheirOwnCopyToo) {
    const std::string source = distinct_bytes(16);
    for (std::size_t size = 4; size <= 16; ++size) {
        std::string out(size + 32, '\xff');
        char* const end = copy_4_to_16(out.data() + 16, source.data(), size);
        EXPECT_EQ(end, out.data() + 16 + size);
        EXPECT_EQ(out, std::string(16, '\xff') + source.substr(0, size) + std::string(16, '\xff')) << size;
    }
}

}  // namespace
}  // namespace tavrel
