// The five status symbols: each one distinct, sharp at tray sizes and
// readable on light and dark trays; a contact sheet lands beside the
// panel screenshots for a look.
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include "ShieldSymbols.h"
#include "TextStyles.h"

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
