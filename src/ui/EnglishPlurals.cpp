#include "EnglishPlurals.h"

#include <string_view>

namespace lullwatch::ui {

namespace {

struct Forms {
    std::string_view plural;
    const char *singular;
};

// Every text the widgets count with %n, in its singular.
constexpr Forms forms[] = {
    {"%n turns", "%n turn"},
    {"Show %n more sessions", "Show %n more session"},
};

} // namespace

QString EnglishPlurals::translate(const char *, const char *sourceText, const char *, int n) const
{
    if (n != 1 || !sourceText)
        return {};
    for (const Forms &form : forms) {
        if (form.plural == sourceText)
            return QString::fromUtf8(form.singular);
    }
    return {};
}

} // namespace lullwatch::ui
