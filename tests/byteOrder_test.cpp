#include "qzIffByteOrder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Every length around the vector widths, at every misalignment, against a byte-wise
// reference; the bytes after the copied elements stay untouched.
template <std::size_t Width, typename Reverse>
void checkBulkReversal(Reverse reverse) {
    std::mt19937 random(7);
    for (std::size_t count = 0; count <= 80; ++count) {
        for (std::size_t shift = 0; shift < Width; ++shift) {
            Bytes source(count * Width + shift);
            for (auto& byte : source) byte = static_cast<unsigned char>(random());
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

// Each implementation the processor offers, not only the one picked at run time, and the one
// picked.
TEST(ByteOrder, EveryBulkImplementationMatchesReference) {
    checkBulkReversal<4>(&iff::reverseCopy32);
    checkBulkReversal<8>(&iff::reverseCopy64);
    unsigned char probe[8] = {};
    ASSERT_TRUE(iff::reverseCopyWith(0, 4, probe, probe, 1));
    for (int level = 0; level <= 2; ++level) {
        if (!iff::reverseCopyWith(level, 4, probe, probe, 1)) continue;
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
