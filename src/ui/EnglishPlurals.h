#pragma once

#include <QTranslator>

namespace lullwatch::ui {

// The singular of the texts that count with %n ("%n turns" → "1 turn"). Qt
// picks a translation's form by the number, and English, the language the
// texts are written in, has no translation to pick from: without this, one
// reads "1 turns". Installed once by the application.
class EnglishPlurals final : public QTranslator {
public:
    using QTranslator::QTranslator;

    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *disambiguation = nullptr,
                      int n = -1) const override;
};

} // namespace lullwatch::ui
