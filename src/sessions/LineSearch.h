#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace lullwatch {

// Where a line ends, and whether it holds one of two words.
struct LineSearch {
    std::size_t end = 0; // the line feed's position
    bool holds = false;
};

// Bytes that must be readable past the text handed to searchLine().
inline constexpr std::size_t lineSearchPadding = 64;

// Searches the line of `text` that starts at `start`, whose line feed is in
// `text`, for its end and for either word (each 2 to 16 bytes, no line
// feed). One pass over its bytes, many at a time.
LineSearch searchLine(std::string_view text, std::size_t start, std::string_view a, std::string_view b);

// Every way of searching that this processor can run, searchLine()'s choice
// among them, so that each can be held to the same answers.
using LineSearchFunction = LineSearch (*)(std::string_view, std::size_t, std::string_view, std::string_view);
std::vector<LineSearchFunction> lineSearchVariants();

} // namespace lullwatch
