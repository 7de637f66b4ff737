// Built for AVX2; called only where the processor has it.

#include "LineSearchKernel.h"

#include <immintrin.h>

namespace lullwatch {

namespace {

struct Avx2 {
    using Type = __m256i;
    using Mask = std::uint32_t;
    static constexpr std::size_t width = 32;
    static Type load(const char *at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at)); }
    static Type splat(char byte) { return _mm256_set1_epi8(byte); }
    static Type equal(Type x, Type y) { return _mm256_cmpeq_epi8(x, y); }
    static Type both(Type x, Type y) { return _mm256_and_si256(x, y); }
    static Mask bits(Type x) { return static_cast<Mask>(_mm256_movemask_epi8(x)); }
};

} // namespace

LineSearch searchLineAvx2(std::string_view text, std::size_t start, std::string_view a, std::string_view b)
{
    return searchLineWith<Avx2>(text, start, a, b);
}

} // namespace lullwatch
