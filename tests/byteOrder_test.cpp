#include "qzIffByteOrder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const void* data, std::size_t count) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    return Bytes(p, p + count);
}

TEST(ByteOrder, SingleValuesAreMostSignificantByteFirst) {
    unsigned char out[8];
    iff::storeU32BE(out, 0x01020304u);
    EXPECT_EQ(bytesOf(out, 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(iff::loadU32BE(out), 0x01020304u);

    iff::storeI32BE(out, -2);
    EXPECT_EQ(bytesOf(out, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(iff::loadI32BE(out), -2);
    iff::storeI32BE(out, INT32_MIN);
    EXPECT_EQ(bytesOf(out, 4), (Bytes{0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(iff::loadI32BE(out), INT32_MIN);

    iff::storeU64BE(out, 0x0102030405060708ull);
    EXPECT_EQ(bytesOf(out, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(iff::loadU64BE(out), 0x0102030405060708ull);
    iff::storeU64BE(out, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(iff::loadU64BE(out), 0xFFFFFFFFFFFFFFFFull);
}

TEST(ByteOrder, BulkReversalGivesBigEndianFloatsAndDoubles) {
    const float floats[2] = {1.0f, -2.0f};
    unsigned char out[16];
    iff::reverseCopy32(out, floats, 2);
    EXPECT_EQ(bytesOf(out, 8), (Bytes{0x3F, 0x80, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00}));

    const double doubles[2] = {1.0, 0.5};
    iff::reverseCopy64(out, doubles, 2);
    EXPECT_EQ(bytesOf(out, 16),
        (Bytes{0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x3F, 0xE0, 0, 0, 0, 0, 0, 0}));

    double back[2];
    iff::reverseCopy64(back, out, 2);
    EXPECT_EQ(back[0], 1.0);
    EXPECT_EQ(back[1], 0.5);
}

// Every length around the vector widths, at every misalignment, against a byte-wise
// reference; the bytes after the copied elements stay untouched.
template <std::size_t Width, typename Reverse>
void checkBulkReversal(Reverse reverse) {
    std::mt19937 random(7);
    for (std::size_t count = 0; count <= 80; ++count) {
        for (std::size_t shift = 0; shift < Width; ++shift) {
            Bytes source(count * Width + shift);
            for (auto& byte : source) {
                byte = static_cast<unsigned char>(random());
            }
            Bytes expected(count * Width + 3, 0xAB);
            for (std::size_t i = 0; i < count; ++i) {
                for (std::size_t b = 0; b < Width; ++b) {
                    expected[i * Width + b] = source[shift + i * Width + Width - 1 - b];
                }
            }
            Bytes target(count * Width + 3 + shift, 0xAB);
            reverse(target.data() + shift, source.data() + shift, count);
            ASSERT_EQ(Bytes(target.begin() + static_cast<long>(shift), target.end()), expected)
                << "count " << count << " shift " << shift;

            Bytes inPlace = source;
            reverse(inPlace.data() + shift, inPlace.data() + shift, count);
            ASSERT_TRUE(std::equal(expected.begin(), expected.begin() + static_cast<long>(count * Width),
                inPlace.begin() + static_cast<long>(shift)))
                << "in place, count " << count << " shift " << shift;
        }
    }
}

TEST(ByteOrder, BulkReversalMatchesByteWiseReference) {
    checkBulkReversal<4>(&iff::reverseCopy32);
    checkBulkReversal<8>(&iff::reverseCopy64);
}

// Each implementation the processor offers, not only the one picked at run time.
TEST(ByteOrder, EveryBulkImplementationMatchesReference) {
    unsigned char probe[8] = {};
    ASSERT_TRUE(iff::reverseCopyWith(0, 4, probe, probe, 1));
    for (int level = 0; level <= 2; ++level) {
        if (!iff::reverseCopyWith(level, 4, probe, probe, 1)) {
            continue;
        }
        SCOPED_TRACE("implementation " + std::to_string(level));
        checkBulkReversal<4>([level](void* dst, const void* src, std::size_t count) {
            iff::reverseCopyWith(level, 4, dst, src, count);
        });
        checkBulkReversal<8>([level](void* dst, const void* src, std::size_t count) {
            iff::reverseCopyWith(level, 8, dst, src, count);
        });
    }
    EXPECT_FALSE(iff::reverseCopyWith(0, 2, probe, probe, 1));
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    // The library's own reading of the processor agrees with the compiler's, so that no
    // shuffle is skipped here by a wrong detection (or run where the system lacks it).
    EXPECT_EQ(iff::reverseCopyWith(1, 4, probe, probe, 1), __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(iff::reverseCopyWith(2, 4, probe, probe, 1), __builtin_cpu_supports("avx2") != 0);
#endif
}

}  // namespace
