#pragma once
// The panel's named text styles as fonts derived from the platform's default
// font, and its text tones as colours of the panel's palette.

#include <QColor>
#include <QFont>
#include <QPalette>

#include "Keldra/MenuModel.h"

class QWidget;

namespace keldra::screens {

// title2 and headline are larger and bold, callout is the default size,
// caption and caption2 are smaller.
QFont fontFor(TextStyle style, const QFont& base);

// Dimmed text: the palette's placeholder-text colour.
QColor secondaryColour(const QPalette& palette);

// A red that reads well on the palette's window colour: deep on light
// backgrounds, light on dark ones.
QColor redColour(const QPalette& palette);

// The colour of a tone; primary is the palette's window text.
QColor colourFor(TextTone tone, const QPalette& palette);

// The contrast ratio of two colours, from 1 (same) to 21 (black on white).
double contrastRatio(const QColor& a, const QColor& b);

// Gives the widget the style's font and the tone's colour.
void applyText(QWidget* widget, TextStyle style, TextTone tone = TextTone::primary);

}  // namespace keldra::screens
