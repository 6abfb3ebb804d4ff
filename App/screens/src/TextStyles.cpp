#include "TextStyles.h"

#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace keldra::screens {

namespace {

QFont scaled(const QFont& base, double factor, bool bold) {
    QFont font = base;
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF() * factor);
    else
        font.setPixelSize(std::max(1, static_cast<int>(std::lround(base.pixelSize() * factor))));
    font.setBold(bold);
    return font;
}

double channel(double c) {
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) + 0.0722 * channel(rgb.blueF());
}

}  // namespace

QFont fontFor(TextStyle style, const QFont& base) {
    switch (style) {
        case TextStyle::title2: return scaled(base, 1.6, true);
        case TextStyle::headline: return scaled(base, 1.15, true);
        case TextStyle::callout: return scaled(base, 1.0, false);
        case TextStyle::caption: return scaled(base, 0.88, false);
        case TextStyle::caption2: return scaled(base, 0.8, false);
    }
    return base;
}

QColor secondaryColour(const QPalette& palette) {
    return palette.color(QPalette::PlaceholderText);
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor redColour(const QPalette& palette) {
    const QColor background = palette.color(QPalette::Window);
    const QColor deep(0xB7, 0x1C, 0x1C);
    const QColor light(0xFF, 0x7A, 0x7A);
    return contrastRatio(deep, background) >= contrastRatio(light, background) ? deep : light;
}

QColor colourFor(TextTone tone, const QPalette& palette) {
    switch (tone) {
        case TextTone::primary: return palette.color(QPalette::WindowText);
        case TextTone::secondary: return secondaryColour(palette);
        case TextTone::red: return redColour(palette);
    }
    return palette.color(QPalette::WindowText);
}

void applyText(QWidget* widget, TextStyle style, TextTone tone) {
    widget->setFont(fontFor(style, QApplication::font()));
    // The colour comes from the parent's palette, so a tone never compounds.
    const QPalette inherited = widget->parentWidget() ? widget->parentWidget()->palette() : QApplication::palette();
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colourFor(tone, inherited));
    widget->setPalette(palette);
}

}  // namespace keldra::screens
