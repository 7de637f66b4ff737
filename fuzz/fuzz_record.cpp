// Feeds arbitrary bytes to the record decoder, the code that reads the files
// the hook scripts leave behind. Besides not crashing, the decoder must give
// the same answer with a fresh parser and with a reused one, must not care
// about whitespace after the JSON, and must only hand out states and sources
// that survive a round trip through their raw values.

#include "sessions/SessionRecord.h"
#include "sessions/SessionState.h"

#include <simdjson.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_record: check failed: %s\n", what);
        std::abort();
    }
}

// Equal field by field; updatedAt by its bits, so that two decodes of the same
// text count as equal even for values that do not compare equal to themselves.
bool sameRecord(const std::optional<lullwatch::SessionRecord> &a, const std::optional<lullwatch::SessionRecord> &b)
{
    if (a.has_value() != b.has_value())
        return false;
    if (!a)
        return true;
    if (std::bit_cast<std::uint64_t>(a->updatedAt) != std::bit_cast<std::uint64_t>(b->updatedAt))
        return false;
    lullwatch::SessionRecord left = *a;
    lullwatch::SessionRecord right = *b;
    left.updatedAt = right.updatedAt = 0;
    return left == right;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace lullwatch;

    // Reused from one input to the next, as the scanner reuses its parser.
    static simdjson::dom::parser reusedParser;

    const std::string_view bytes(reinterpret_cast<const char *>(data), size);

    const auto fresh = decodeSessionRecord(bytes);
    const auto reused = decodeSessionRecord(bytes, reusedParser);
    check(sameRecord(fresh, reused), "a reused parser decodes like a fresh one");

    std::string padded(bytes);
    padded += " \n\t\r";
    check(sameRecord(fresh, decodeSessionRecord(padded, reusedParser)), "trailing whitespace changes nothing");

    if (fresh) {
        check(sessionStateFromRaw(rawValue(fresh->state)) == fresh->state, "state survives its raw value");
        if (fresh->source)
            check(sessionSourceFromRaw(rawValue(*fresh->source)) == fresh->source, "source survives its raw value");
    }
    return 0;
}
