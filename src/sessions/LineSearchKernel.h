#pragma once

// The search of searchLine() over vectors of one width, included by a file
// for each instruction set; nothing here may be shared between them.

#include "LineSearch.h"

#include <cstdint>
#include <cstring>

namespace lullwatch {
namespace {

// The places where `word` may start: its first two bytes and its last match.
template<typename Vector> struct WordProbe {
    explicit WordProbe(std::string_view word)
        : word(word)
        , first(Vector::splat(word[0]))
        , second(Vector::splat(word[1]))
        , last(Vector::splat(word.back()))
    { }

    typename Vector::Mask candidates(const char *at, typename Vector::Type block, typename Vector::Type next) const
    {
        return Vector::bits(Vector::both(Vector::both(Vector::equal(block, first), Vector::equal(next, second)),
                                         Vector::equal(Vector::load(at + word.size() - 1), last)));
    }

    std::string_view word;
    typename Vector::Type first;
    typename Vector::Type second;
    typename Vector::Type last;
};

template<typename Vector>
LineSearch searchLineWith(std::string_view text, std::size_t start, std::string_view a, std::string_view b)
{
    const auto feed = Vector::splat('\n');
    const WordProbe<Vector> probeA(a);
    const WordProbe<Vector> probeB(b);
    bool holds = false;
    for (std::size_t at = start;; at += Vector::width) {
        const char *const bytes = text.data() + at;
        // A page ahead: the processor's own prefetching stops at page ends.
        __builtin_prefetch(bytes + 4096);
        const auto block = Vector::load(bytes);
        const auto feeds = Vector::bits(Vector::equal(block, feed));
        if (!holds) {
            const auto next = Vector::load(bytes + 1);
            auto candidates = probeA.candidates(bytes, block, next) | probeB.candidates(bytes, block, next);
            if (feeds != 0)
                candidates &= (feeds ^ (feeds - 1)) >> 1; // those before the line feed
            for (; candidates != 0 && !holds; candidates &= candidates - 1) {
                const char *const word = bytes + __builtin_ctz(candidates);
                holds = std::memcmp(word, a.data(), a.size()) == 0 || std::memcmp(word, b.data(), b.size()) == 0;
            }
        }
        if (feeds != 0)
            return {at + static_cast<std::size_t>(__builtin_ctz(feeds)), holds};
    }
}

} // namespace
} // namespace lullwatch
