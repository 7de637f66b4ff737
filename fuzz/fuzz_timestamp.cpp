// Feeds arbitrary text to the time stamp parser. Not crashing is the main
// point; beyond that, whatever it accepts must have the shape
// YYYY-MM-DDTHH:MM:SS[.f]{Z|+HH:MM|-HH:MM} by a check written independently of
// the parser, with fields in range, and must land within the years 0000-9999.
// A stamp in UTC must mean the same instant when written with +00:00.

#include "sessions/Timestamp.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_timestamp: check failed: %s\n", what);
        std::abort();
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The value of the two digits at `at`, or -1.
int twoDigits(std::string_view text, std::size_t at)
{
    if (at + 2 > text.size() || !isDigit(text[at]) || !isDigit(text[at + 1]))
        return -1;
    return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

bool hasAcceptedShape(std::string_view text)
{
    // Fixed part: "YYYY-MM-DDTHH:MM:SS", 19 characters.
    static constexpr std::string_view pattern = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < pattern.size())
        return false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == 'd' ? !isDigit(text[i]) : text[i] != pattern[i])
            return false;
    }
    const int month = twoDigits(text, 5);
    const int day = twoDigits(text, 8);
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    if (twoDigits(text, 11) > 23 || twoDigits(text, 14) > 59 || twoDigits(text, 17) > 59)
        return false;

    std::string_view rest = text.substr(pattern.size());
    if (!rest.empty() && rest.front() == '.') {
        std::size_t digits = 1;
        while (digits < rest.size() && isDigit(rest[digits]))
            ++digits;
        if (digits == 1 || digits > 10) // one to nine digits after the dot
            return false;
        rest.remove_prefix(digits);
    }

    if (rest == "Z")
        return true;
    if (rest.size() != 6 || (rest[0] != '+' && rest[0] != '-') || rest[3] != ':')
        return false;
    const int hours = twoDigits(rest, 1);
    const int minutes = twoDigits(rest, 4);
    return hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto parsed = lullwatch::parseTimestamp(text);
    if (!parsed)
        return 0;

    check(hasAcceptedShape(text), "an accepted stamp has the documented shape");

    // 0000-01-01T00:00:00+23:59 to 9999-12-31T23:59:59.999999999-23:59.
    const double seconds = lullwatch::epochSeconds(*parsed);
    check(std::isfinite(seconds), "the instant is finite");
    check(seconds >= -62167219200.0 - 86400.0 && seconds < 253402300800.0 + 86400.0, "the instant is within 0000-9999");

    if (text.back() == 'Z') {
        std::string withOffset(text.substr(0, text.size() - 1));
        withOffset += "+00:00";
        const auto same = lullwatch::parseTimestamp(withOffset);
        check(same && *same == *parsed, "Z and +00:00 name the same instant");
    }
    return 0;
}
