#include "LineSearch.h"

#if defined(__x86_64__)
#include "LineSearchKernel.h"

#include <emmintrin.h>
#endif

namespace lullwatch {

#if defined(__x86_64__)
LineSearch searchLineAvx2(std::string_view text, std::size_t start, std::string_view a, std::string_view b);

namespace {

struct Sse2 {
    using Type = __m128i;
    using Mask = std::uint32_t;
    static constexpr std::size_t width = 16;
    static Type load(const char *at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at)); }
    static Type splat(char byte) { return _mm_set1_epi8(byte); }
    static Type equal(Type x, Type y) { return _mm_cmpeq_epi8(x, y); }
    static Type both(Type x, Type y) { return _mm_and_si128(x, y); }
    static Mask bits(Type x) { return static_cast<Mask>(_mm_movemask_epi8(x)); }
};

bool hasAvx2()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

} // namespace

LineSearch searchLine(std::string_view text, std::size_t start, std::string_view a, std::string_view b)
{
    return hasAvx2() ? searchLineAvx2(text, start, a, b) : searchLineWith<Sse2>(text, start, a, b);
}

std::vector<LineSearchFunction> lineSearchVariants()
{
    std::vector<LineSearchFunction> variants {&searchLineWith<Sse2>};
    if (hasAvx2())
        variants.push_back(&searchLineAvx2);
    return variants;
}
#else
LineSearch searchLine(std::string_view text, std::size_t start, std::string_view a, std::string_view b)
{
    const std::size_t end = text.find('\n', start);
    const std::string_view line = text.substr(start, end - start);
    return {end, line.find(a) != std::string_view::npos || line.find(b) != std::string_view::npos};
}

std::vector<LineSearchFunction> lineSearchVariants()
{
    return {&searchLine};
}
#endif

} // namespace lullwatch
