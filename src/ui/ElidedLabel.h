#pragma once

#include <QLabel>

namespace lullwatch::ui {

// A one-line plain-text label that, when it gets less width than its text
// needs, shows the text cut with an ellipsis instead of clipped. text() and
// the size hint stay those of the whole text.
class ElidedLabel final : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    // The text as drawn at the current width.
    QString shownText() const;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace lullwatch::ui
