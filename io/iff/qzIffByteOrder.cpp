#include "qzIffByteOrder.h"

// A plain byte-reversal loop is not vectorised for baseline x86-64 (there is no byte shuffle
// before SSSE3), so on x86 the shuffle versions are picked once at run time. The pick goes
// through a function pointer rather than ifunc-based clones, which Windows builds lack.
// GCC and Clang compile each version for its own instruction set; MSVC takes the intrinsics
// in any function.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define QZ_IFF_X86_DISPATCH 1
#define QZ_IFF_TARGET(isa) __attribute__((target(isa)))
#include <cpuid.h>
#include <immintrin.h>
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#define QZ_IFF_X86_DISPATCH 1
#define QZ_IFF_MSVC_INTRINSICS 1
#define QZ_IFF_TARGET(isa)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace iff {
namespace {

using ReverseFunction = void (*)(unsigned char*, const unsigned char*, std::size_t);

// Each element goes through a local copy first, so dst == src works.
template <std::size_t Width>
void reversePlain(unsigned char* dst, const unsigned char* src, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char element[Width];
        std::memcpy(element, src + Width * i, Width);
        for (std::size_t b = 0; b < Width; ++b) {
            dst[Width * i + b] = element[Width - 1 - b];
        }
    }
}

#if defined(QZ_IFF_X86_DISPATCH)

// Byte order within each 16-byte lane for 4- and 8-byte elements.
#define QZ_IFF_SHUFFLE32 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12
#define QZ_IFF_SHUFFLE64 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8

// Whole 16-byte blocks are loaded before they are stored, so dst == src works here too.
template <std::size_t Width>
QZ_IFF_TARGET("ssse3") void reverseSsse3(
    unsigned char* dst, const unsigned char* src, std::size_t count) {
    const __m128i order = Width == 4 ? _mm_setr_epi8(QZ_IFF_SHUFFLE32) : _mm_setr_epi8(QZ_IFF_SHUFFLE64);
    const std::size_t bytes = count * Width;
    std::size_t done = 0;
    for (; done + 16 <= bytes; done += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + done));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + done), _mm_shuffle_epi8(block, order));
    }
    reversePlain<Width>(dst + done, src + done, (bytes - done) / Width);
}

template <std::size_t Width>
QZ_IFF_TARGET("avx2") void reverseAvx2(
    unsigned char* dst, const unsigned char* src, std::size_t count) {
    const __m256i order = Width == 4
        ? _mm256_setr_epi8(QZ_IFF_SHUFFLE32, QZ_IFF_SHUFFLE32)
        : _mm256_setr_epi8(QZ_IFF_SHUFFLE64, QZ_IFF_SHUFFLE64);
    const std::size_t bytes = count * Width;
    std::size_t done = 0;
    for (; done + 64 <= bytes; done += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + done), _mm256_shuffle_epi8(a, order));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + done + 32), _mm256_shuffle_epi8(b, order));
    }
    for (; done + 32 <= bytes; done += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + done), _mm256_shuffle_epi8(a, order));
    }
    reversePlain<Width>(dst + done, src + done, (bytes - done) / Width);
}

#undef QZ_IFF_SHUFFLE32
#undef QZ_IFF_SHUFFLE64
#undef QZ_IFF_TARGET

// Read from the processor directly (cpuid.h and intrin.h are header-only), so that no
// run-time support library is needed on any x86 target.
struct CpuidRegisters {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
};

CpuidRegisters cpuid(unsigned leaf) {
    CpuidRegisters r;
#if defined(QZ_IFF_MSVC_INTRINSICS)
    int out[4] = {};
    __cpuidex(out, static_cast<int>(leaf), 0);
    r.eax = static_cast<unsigned>(out[0]);
    r.ebx = static_cast<unsigned>(out[1]);
    r.ecx = static_cast<unsigned>(out[2]);
    r.edx = static_cast<unsigned>(out[3]);
#else
    __cpuid_count(leaf, 0, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// The state components the system saves on a context switch (XCR0).
unsigned savedStateMask() {
#if defined(QZ_IFF_MSVC_INTRINSICS)
    return static_cast<unsigned>(_xgetbv(0));
#else
    unsigned low = 0;
    unsigned high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
#endif
}

struct ShuffleSupport {
    bool ssse3 = false;
    bool avx2 = false;
};

// AVX2 also needs the system to save the YMM registers.
ShuffleSupport detectShuffleSupport() {
    ShuffleSupport support;
    const unsigned maxLeaf = cpuid(0).eax;
    if (maxLeaf < 1) {
        return support;
    }
    const CpuidRegisters features = cpuid(1);
    support.ssse3 = (features.ecx & (1u << 9)) != 0;
    const bool osSavesAvx = (features.ecx & (1u << 27)) != 0 && (features.ecx & (1u << 28)) != 0;
    if (!osSavesAvx || (savedStateMask() & 6u) != 6u || maxLeaf < 7) {
        return support;
    }
    support.avx2 = (cpuid(7).ebx & (1u << 5)) != 0;
    return support;
}

template <std::size_t Width>
ReverseFunction implementation(int level) {
    const ShuffleSupport support = detectShuffleSupport();
    if (level == 2 && support.avx2) {
        return &reverseAvx2<Width>;
    }
    if (level == 1 && support.ssse3) {
        return &reverseSsse3<Width>;
    }
    return level == 0 ? &reversePlain<Width> : nullptr;
}

#else

template <std::size_t Width>
ReverseFunction implementation(int level) {
    return level == 0 ? &reversePlain<Width> : nullptr;
}

#endif

template <std::size_t Width>
ReverseFunction pickReverse() {
    for (int level = 2; level > 0; --level) {
        if (ReverseFunction best = implementation<Width>(level)) {
            return best;
        }
    }
    return &reversePlain<Width>;
}

}  // namespace

bool reverseCopyWith(int level, std::size_t width, void* dst, const void* src, std::size_t count) {
    const ReverseFunction reverse = width == 4 ? implementation<4>(level)
        : width == 8 ? implementation<8>(level) : nullptr;
    if (reverse == nullptr) {
        return false;
    }
    reverse(static_cast<unsigned char*>(dst), static_cast<const unsigned char*>(src), count);
    return true;
}

void reverseCopy32(void* dst, const void* src, std::size_t count) {
    static const ReverseFunction reverse = pickReverse<4>();
    reverse(static_cast<unsigned char*>(dst), static_cast<const unsigned char*>(src), count);
}

void reverseCopy64(void* dst, const void* src, std::size_t count) {
    static const ReverseFunction reverse = pickReverse<8>();
    reverse(static_cast<unsigned char*>(dst), static_cast<const unsigned char*>(src), count);
}

}  // namespace iff
