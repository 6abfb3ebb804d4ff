#pragma once
// A label of the panel: plain text, wrapped at the panel's width. Text is
// broken between words where it can be and inside a word where it cannot,
// so a long run without a blank (an address, a token) wraps instead of
// running past the panel's edge: every character of it is drawn.

#include <QLabel>

class QTextLayout;

namespace keldra::screens {

class WrappingLabel final : public QLabel {
public:
    explicit WrappingLabel(QWidget* parent = nullptr);

    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Lays the text out in lines of `width`; answers the height they take.
    qreal layOut(QTextLayout& layout, qreal width) const;
    // Room for the text beside the margins.
    int horizontalMargins() const;
    int verticalMargins() const;
};

}  // namespace keldra::screens
