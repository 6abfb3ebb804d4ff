// What the screens draw with: the five status symbols (each one distinct,
// sharp at tray sizes, readable on light and dark trays; a contact sheet
// lands beside the panel screenshots) and the named text styles.
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include "ShieldSymbols.h"
#include "TextStyles.h"

using namespace keldra;
using namespace keldra::screens;

namespace {

QImage over(const QImage& symbol, const QColor& background) {
    QImage out(symbol.size(), QImage::Format_ARGB32);
    out.fill(background);
    QPainter p(&out);
    p.drawImage(0, 0, symbol);
    return out;
}

// Pixels that stand out from the background by at least a 3:1 contrast.
int legiblePixels(const QImage& image, const QColor& background) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (contrastRatio(image.pixelColor(x, y), background) >= 3.0) ++count;
    return count;
}

}  // namespace

TEST(Symbols, EveryNameDrawsItsOwnShapeAndUnknownNamesDrawThePlainShield) {
    for (int size : {16, 22, 64}) {
        std::vector<QImage> images;
        for (const QString& name : symbolNames()) images.push_back(renderSymbol(name, size, trayStyle()));
        for (std::size_t i = 0; i < images.size(); ++i)
            for (std::size_t j = i + 1; j < images.size(); ++j)
                EXPECT_NE(images[i], images[j]) << symbolNames()[int(i)].toStdString() << " vs "
                                                << symbolNames()[int(j)].toStdString() << " at " << size;
        EXPECT_EQ(renderSymbol(QStringLiteral("no.such.symbol"), size, trayStyle()),
                  renderSymbol(QStringLiteral("shield"), size, trayStyle()));
    }
}

TEST(Symbols, TraySymbolsStandOutOnLightAndDarkTrays) {
    for (const QString& name : symbolNames()) {
        for (int size : {16, 22}) {
            const QImage symbol = renderSymbol(name, size, trayStyle());
            for (const QColor background : {QColor(Qt::white), QColor(0xEE, 0xEE, 0xEE), QColor(0x30, 0x30, 0x30),
                                            QColor(Qt::black)}) {
                // At least a fifth of the square reads clearly against the tray.
                EXPECT_GE(legiblePixels(over(symbol, background), background), size * size / 5)
                    << name.toStdString() << " at " << size << " on " << background.name().toStdString();
            }
        }
    }
}

TEST(Symbols, IconsRenderAtTheAskedSizeAndDeviceRatio) {
    const QIcon icon = symbolIcon(QStringLiteral("xmark.shield"), trayStyle());
    EXPECT_EQ(icon.pixmap(QSize(24, 24)).size(), QSize(24, 24));
    const QImage sharp = renderSymbol(QStringLiteral("xmark.shield"), 22, trayStyle(), 2.0);
    EXPECT_EQ(sharp.size(), QSize(44, 44));
    EXPECT_EQ(sharp.devicePixelRatio(), 2.0);
    // Disabled icons are dimmer, not the same picture.
    EXPECT_NE(icon.pixmap(QSize(24, 24), QIcon::Disabled).toImage(), icon.pixmap(QSize(24, 24)).toImage());

    // The contact sheet: every symbol at three sizes on a light and a dark tray.
    const QList<int> sizes{16, 22, 48};
    QImage sheet(5 * 100, 2 * 60, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    p.fillRect(0, 60, sheet.width(), 60, QColor(0x2B, 0x2B, 0x2B));
    for (int row = 0; row < 2; ++row)
        for (int i = 0; i < symbolNames().size(); ++i) {
            int x = i * 100 + 4;
            for (int size : sizes) {
                p.drawImage(x, row * 60 + (60 - size) / 2, renderSymbol(symbolNames()[i], size, trayStyle()));
                x += size + 4;
            }
        }
    p.end();
    QDir().mkpath(QStringLiteral(KELDRA_SCREENSHOT_DIR));
    EXPECT_TRUE(sheet.save(QStringLiteral(KELDRA_SCREENSHOT_DIR "/symbols.png")));
}

TEST(TextStyles, SizesFollowTheDefaultFontAndRedStaysLegibleOnLightAndDarkPanels) {
    for (const QFont& base : {QFont(QStringLiteral("DejaVu Sans"), 10), QFont(QStringLiteral("DejaVu Sans"), 14)}) {
        const auto size = [&base](TextStyle style) { return fontFor(style, base).pointSizeF(); };
        EXPECT_GT(size(TextStyle::title2), size(TextStyle::headline));
        EXPECT_GT(size(TextStyle::headline), size(TextStyle::callout));
        EXPECT_EQ(size(TextStyle::callout), base.pointSizeF());
        EXPECT_LT(size(TextStyle::caption), size(TextStyle::callout));
        EXPECT_LE(size(TextStyle::caption2), size(TextStyle::caption));
        EXPECT_TRUE(fontFor(TextStyle::title2, base).bold());
        EXPECT_TRUE(fontFor(TextStyle::headline, base).bold());
        EXPECT_FALSE(fontFor(TextStyle::callout, base).bold());
        EXPECT_EQ(fontFor(TextStyle::caption, base).family(), base.family());
    }
    // A font given in pixels scales too.
    QFont pixels;
    pixels.setPixelSize(20);
    EXPECT_EQ(fontFor(TextStyle::caption, pixels).pixelSize(), 18);

    for (const QColor window : {QColor(Qt::white), QColor(0xEC, 0xEC, 0xEC), QColor(0x2D, 0x2D, 0x2D), QColor(Qt::black)}) {
        QPalette palette;
        palette.setColor(QPalette::Window, window);
        EXPECT_GE(contrastRatio(redColour(palette), window), 4.5) << window.name().toStdString();
        EXPECT_GT(redColour(palette).red(), redColour(palette).green() + 80) << "still red";
    }
    QPalette palette;
    palette.setColor(QPalette::PlaceholderText, QColor(0x80, 0x80, 0x80));
    EXPECT_EQ(colourFor(TextTone::secondary, palette), QColor(0x80, 0x80, 0x80));
    EXPECT_EQ(colourFor(TextTone::primary, palette), palette.color(QPalette::WindowText));
}
