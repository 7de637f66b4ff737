#include "Timestamp.h"

namespace lullwatch {

namespace {

class Cursor {
public:
    explicit Cursor(std::string_view text)
        : m_text(text)
    { }

    // Exactly `count` decimal digits.
    std::optional<int> digits(int count)
    {
        if (m_text.size() - m_position < static_cast<std::size_t>(count))
            return std::nullopt;
        int value = 0;
        for (int i = 0; i < count; ++i) {
            const char c = m_text[m_position + i];
            if (c < '0' || c > '9')
                return std::nullopt;
            value = value * 10 + (c - '0');
        }
        m_position += count;
        return value;
    }

    bool take(char expected)
    {
        if (m_position < m_text.size() && m_text[m_position] == expected) {
            ++m_position;
            return true;
        }
        return false;
    }

    std::optional<char> peek() const
    {
        if (m_position < m_text.size())
            return m_text[m_position];
        return std::nullopt;
    }

    void advance() { ++m_position; }
    bool atEnd() const { return m_position == m_text.size(); }

private:
    std::string_view m_text;
    std::size_t m_position = 0;
};

bool isDigit(std::optional<char> c)
{
    return c && *c >= '0' && *c <= '9';
}

} // namespace

std::optional<TimePoint> parseTimestamp(std::string_view text)
{
    using namespace std::chrono;

    Cursor cursor(text);
    const auto yearValue = cursor.digits(4);
    if (!yearValue || !cursor.take('-'))
        return std::nullopt;
    const auto monthValue = cursor.digits(2);
    if (!monthValue || !cursor.take('-'))
        return std::nullopt;
    const auto dayValue = cursor.digits(2);
    if (!dayValue || !cursor.take('T'))
        return std::nullopt;
    const auto hours = cursor.digits(2);
    if (!hours || !cursor.take(':'))
        return std::nullopt;
    const auto minutes = cursor.digits(2);
    if (!minutes || !cursor.take(':'))
        return std::nullopt;
    const auto secondsValue = cursor.digits(2);
    if (!secondsValue)
        return std::nullopt;

    double fraction = 0;
    if (cursor.take('.')) {
        long numerator = 0;
        long denominator = 1;
        int count = 0;
        while (isDigit(cursor.peek())) {
            if (++count > 9)
                return std::nullopt;
            numerator = numerator * 10 + (*cursor.peek() - '0');
            denominator *= 10;
            cursor.advance();
        }
        if (count == 0)
            return std::nullopt;
        fraction = static_cast<double>(numerator) / static_cast<double>(denominator);
    }

    int offsetSeconds = 0;
    if (!cursor.take('Z')) {
        int sign = 0;
        if (cursor.take('+'))
            sign = 1;
        else if (cursor.take('-'))
            sign = -1;
        else
            return std::nullopt;
        const auto offsetHours = cursor.digits(2);
        if (!offsetHours || !cursor.take(':'))
            return std::nullopt;
        const auto offsetMinutes = cursor.digits(2);
        if (!offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59)
            return std::nullopt;
        offsetSeconds = sign * (*offsetHours * 3600 + *offsetMinutes * 60);
    }
    if (!cursor.atEnd())
        return std::nullopt;

    const year_month_day date {year {*yearValue}, month {static_cast<unsigned>(*monthValue)},
                               day {static_cast<unsigned>(*dayValue)}};
    if (!date.ok() || *hours > 23 || *minutes > 59 || *secondsValue > 59)
        return std::nullopt;

    const auto wholeSeconds = sys_days {date}.time_since_epoch() + std::chrono::hours {*hours}
        + std::chrono::minutes {*minutes} + std::chrono::seconds {*secondsValue - offsetSeconds};
    return TimePoint {
        Seconds {static_cast<double>(duration_cast<std::chrono::seconds>(wholeSeconds).count()) + fraction}};
}

} // namespace lullwatch
