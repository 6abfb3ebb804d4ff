// The panel against a real app state over fakes, on the offscreen platform:
// what it shows in which state, what its buttons start, and the form.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include "AppFixture.h"
#include "AppScreens.h"
#include "Spinner.h"
#include "TextStyles.h"

using namespace keldra;
using namespace keldra::screens;
using keldra::test::AppFixture;

namespace {

struct Recorded {
    int quits = 0;
    std::vector<QUrl> opened;
};

MenuPanel::Hooks hooksFor(Recorded& recorded) {
    MenuPanel::Hooks hooks;
    hooks.quit = [&recorded] { ++recorded.quits; };
    hooks.openUrl = [&recorded](const QUrl& url) { recorded.opened.push_back(url); };
    hooks.deviceName = [] { return std::string("Test Machine"); };
    return hooks;
}

template <class W>
W* child(QWidget& panel, const char* name) {
    return panel.findChild<W*>(QLatin1String(name));
}

QLabel* label(QWidget& panel, const char* name) {
    return child<QLabel>(panel, name);
}

QPushButton* button(QWidget& panel, const char* name) {
    return child<QPushButton>(panel, name);
}

// Visible as the user would see it with the panel open.
bool shown(QWidget* widget) {
    return widget && widget->isVisibleTo(widget->window());
}

// Lets posted button handlers (and the operations they start) run.
void runPosted() {
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

class PanelTest : public ::testing::Test {
protected:
    void make(AppFixture::Options options = {}) {
        app = std::make_unique<AppFixture>(options);
        screens = std::make_unique<AppScreens>(*app->state, hooksFor(recorded), true);
        panel().show();
    }
    void TearDown() override {
        screens.reset();
        app.reset();
    }
    MenuPanel& panel() { return screens->panel(); }
    QLineEdit* codeField() { return child<QLineEdit>(panel(), "code"); }
    QLineEdit* nameField() { return child<QLineEdit>(panel(), "name"); }
    QPushButton* enrollButton() { return button(panel(), "enroll"); }
    void type(QLineEdit* field, const QString& text) {
        field->clear();
        QTest::keyClicks(field, text);
    }

    Recorded recorded;
    std::unique_ptr<AppFixture> app;
    std::unique_ptr<AppScreens> screens;
};

// The visible widgets that draw something of their own (no visible child
// widgets), with their places in the panel.
std::vector<std::pair<QWidget*, QRect>> visibleLeaves(QWidget& panel) {
    std::vector<std::pair<QWidget*, QRect>> leaves;
    for (QWidget* widget : panel.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&panel)) continue;
        bool hasVisibleChild = false;
        for (QWidget* inner : widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            hasVisibleChild = hasVisibleChild || inner->isVisibleTo(&panel);
        }
        if (hasVisibleChild) continue;
        leaves.emplace_back(widget, QRect(widget->mapTo(&panel, QPoint(0, 0)), widget->size()));
    }
    return leaves;
}

// Every element lies inside the panel, has the height its text needs, and
// overlaps no other.
void expectLaidOutCleanly(QWidget& panel, const std::string& when) {
    const auto leaves = visibleLeaves(panel);
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const auto& [widget, rect] = leaves[i];
        const std::string name = widget->objectName().toStdString() + " " + when;
        EXPECT_TRUE(panel.rect().contains(rect)) << name << " leaves the panel";
        if (auto* text = qobject_cast<QLabel*>(widget); text && text->wordWrap()) {
            EXPECT_GE(rect.height(), text->heightForWidth(rect.width())) << name << " is clipped";
        }
        for (std::size_t j = i + 1; j < leaves.size(); ++j) {
            EXPECT_FALSE(rect.intersects(leaves[j].second))
                << name << " overlaps " << leaves[j].first->objectName().toStdString();
        }
    }
}

}  // namespace

TEST_F(PanelTest, AChangeWhileThePanelIsOpenRefitsItAsAFreshPanelOfTheSameState) {
    make();
    ASSERT_TRUE(app->enroll());
    QTest::mouseClick(child<QToolButton>(panel(), "detailsToggle"), Qt::LeftButton);
    QCoreApplication::processEvents();
    ASSERT_TRUE(panel().detailsOpen());
    expectLaidOutCleanly(panel(), "with details open");

    // Each change comes while the panel stays open, through "Check now".
    const std::vector<std::pair<std::string, std::function<void()>>> changes = {
        {"offline", [this] { app->service->stop(); }},
        {"offline with the filter stopped", [this] { app->filter->running = false; }},
        {"filter running again", [this] { app->filter->running = true; }},
    };
    for (const auto& [when, change] : changes) {
        change();
        QTest::mouseClick(button(panel(), "checkNow"), Qt::LeftButton);
        runPosted();
        ASSERT_TRUE(app->settle());
        runPosted();

        MenuPanel fresh(*app->state, hooksFor(recorded));
        fresh.show();
        QTest::mouseClick(child<QToolButton>(fresh, "detailsToggle"), Qt::LeftButton);
        QCoreApplication::processEvents();
        ASSERT_EQ(label(fresh, "headline")->text(), label(panel(), "headline")->text());
        EXPECT_EQ(panel().size(), fresh.size()) << when;
        std::size_t freshLines = fresh.findChildren<QLabel*>(QStringLiteral("detailsLine")).size();
        std::size_t shownLines = 0;
        for (QLabel* line : panel().findChildren<QLabel*>(QStringLiteral("detailsLine"))) {
            shownLines += shown(line) ? 1 : 0;
        }
        EXPECT_EQ(shownLines, freshLines) << when;
        expectLaidOutCleanly(panel(), when);
    }
}

TEST_F(PanelTest, TypingIntoTheFormEnablesTheEnrolButtonOnlyForACodeAndAName) {
    make();
    ASSERT_TRUE(shown(enrollButton()));
    EXPECT_EQ(enrollButton()->text(), "Enroll this Mac");
    EXPECT_EQ(nameField()->text(), "Test Machine");
    EXPECT_EQ(codeField()->placeholderText(), "Enrollment code");
    EXPECT_EQ(nameField()->placeholderText(), "Device name");
    EXPECT_FALSE(enrollButton()->isEnabled()) << "an empty code";

    type(codeField(), "  \t ");
    EXPECT_FALSE(enrollButton()->isEnabled()) << "blanks only";
    type(codeField(), "  AB-12 \t");
    EXPECT_TRUE(enrollButton()->isEnabled()) << "blanks around letters";
    type(nameField(), "");
    EXPECT_FALSE(enrollButton()->isEnabled()) << "an empty name";
    type(nameField(), " ");
    EXPECT_TRUE(enrollButton()->isEnabled()) << "a name of one blank";
}

TEST_F(PanelTest, ReturnPressesTheEnrolButtonWhichStartsTheEnrolmentAfterItsHandlerReturned) {
    make();
    type(codeField(), "nothing yet");
    type(nameField(), "");
    QTest::keyClick(codeField(), Qt::Key_Return);
    runPosted();
    EXPECT_FALSE(app->state->busy()) << "a disabled button ignores Return";

    type(codeField(), QStringLiteral("  ") + test::kCode);
    type(nameField(), "Screens");
    QTest::keyClick(nameField(), Qt::Key_Return);
    EXPECT_FALSE(app->state->busy()) << "the handler only posts the operation";
    runPosted();
    EXPECT_TRUE(app->state->busy());
    EXPECT_FALSE(enrollButton()->isEnabled());
    ASSERT_TRUE(app->settle());
    EXPECT_TRUE(app->state->enrolled());
    EXPECT_TRUE(shown(child<QWidget>(panel(), "enrolledBody")));
    EXPECT_EQ(app->service->devices().at(0).name, "Screens");
}

TEST_F(PanelTest, WhileBusyTheSpinnerShowsAndOnlyDashboardAndQuitStayEnabled) {
    make();
    ASSERT_TRUE(app->enroll());
    app->filter->running = false;  // so the filter prompt shows
    ASSERT_TRUE(app->tick());
    ASSERT_TRUE(shown(button(panel(), "promptButton")));
    EXPECT_EQ(button(panel(), "promptButton")->text(), "Install network filter");
    EXPECT_FALSE(shown(child<Spinner>(panel(), "spinner")));
    EXPECT_TRUE(button(panel(), "promptButton")->isEnabled());
    EXPECT_TRUE(button(panel(), "checkNow")->isEnabled());

    QTest::mouseClick(button(panel(), "checkNow"), Qt::LeftButton);
    runPosted();
    ASSERT_TRUE(app->state->busy());
    auto* spinner = child<Spinner>(panel(), "spinner");
    EXPECT_TRUE(shown(spinner));
    EXPECT_TRUE(spinner->isAnimating());
    EXPECT_FALSE(button(panel(), "checkNow")->isEnabled());
    EXPECT_FALSE(button(panel(), "promptButton")->isEnabled());
    EXPECT_TRUE(button(panel(), "dashboard")->isEnabled());
    EXPECT_TRUE(button(panel(), "quit")->isEnabled());
    ASSERT_TRUE(app->settle());
    EXPECT_FALSE(shown(spinner));
    EXPECT_FALSE(spinner->isAnimating());
}

TEST_F(PanelTest, WhileBusyRepairAndTheInstallFormAreDisabled) {
    make({test::Mode::beta, true, true});
    app->writeStatus(700);
    ASSERT_TRUE(shown(button(panel(), "promptButton")));
    EXPECT_EQ(button(panel(), "promptButton")->text(), "Repair");
    QTest::mouseClick(button(panel(), "promptButton"), Qt::LeftButton);
    runPosted();
    ASSERT_TRUE(app->state->busy());
    EXPECT_FALSE(button(panel(), "promptButton")->isEnabled());
    EXPECT_TRUE(button(panel(), "dashboard")->isEnabled());
    EXPECT_TRUE(button(panel(), "quit")->isEnabled());
    ASSERT_TRUE(app->settle());

    // Not installed: the install form, disabled while an installation runs.
    std::filesystem::remove(app->betaPaths->daemonPlist);
    app->state->refreshBeta();
    ASSERT_TRUE(shown(enrollButton()));
    EXPECT_EQ(enrollButton()->text(), "Install and enroll this Mac");
    EXPECT_EQ(label(panel(), "intro")->text(),
              "Enter the enrollment code from your dashboard. Installing the blocking service asks for your "
              "administrator password.");
    type(codeField(), "CODE");
    EXPECT_TRUE(enrollButton()->isEnabled());
    QTest::mouseClick(enrollButton(), Qt::LeftButton);
    runPosted();
    ASSERT_TRUE(app->state->busy());
    EXPECT_FALSE(enrollButton()->isEnabled());
    EXPECT_TRUE(shown(child<Spinner>(panel(), "spinner")));
    ASSERT_TRUE(app->settle());
}

TEST_F(PanelTest, WithoutAnEngineTheBodyIsTheStartUpMessageInCalloutNotRed) {
    make({test::Mode::extension, false, false});
    QLabel* message = label(panel(), "message");
    ASSERT_TRUE(shown(message));
    EXPECT_EQ(message->text(), "This build cannot start: missing");
    EXPECT_EQ(message->font(), fontFor(TextStyle::callout, QApplication::font()));
    EXPECT_NE(message->palette().color(QPalette::WindowText), redColour(panel().palette()));
    EXPECT_EQ(message->palette().color(QPalette::WindowText), panel().palette().color(QPalette::WindowText));
    EXPECT_FALSE(shown(child<QWidget>(panel(), "enrolledBody")));
    EXPECT_FALSE(shown(child<QWidget>(panel(), "enrollForm")));
    EXPECT_EQ(label(panel(), "headline")->text(), "Not available");
    EXPECT_FALSE(button(panel(), "checkNow")->isEnabled());
    EXPECT_TRUE(button(panel(), "quit")->isEnabled());
}

TEST_F(PanelTest, TheRepairPromptShowsAt601SecondsAndNotAt600) {
    make({test::Mode::beta, true, true});
    app->writeStatus(600);
    ASSERT_TRUE(shown(child<QWidget>(panel(), "enrolledBody")));
    EXPECT_FALSE(shown(child<QWidget>(panel(), "prompt")));
    app->writeStatus(601);
    ASSERT_TRUE(shown(child<QWidget>(panel(), "prompt")));
    EXPECT_EQ(label(panel(), "promptText")->text(),
              "The blocking service is not running. Repair it; you will be asked for your password.");
    EXPECT_EQ(label(panel(), "headline")->text(), "Service not responding");
}

TEST_F(PanelTest, ANewFormStartsEmptyWithTheDefaultNameAfterTheBodySwitchesBack) {
    make({test::Mode::beta, true, false});
    type(codeField(), "typed");
    type(nameField(), "Changed");

    std::filesystem::create_directories(app->betaPaths->daemonPlist.parent_path());
    test::writeFile(app->betaPaths->daemonPlist, "[Unit]\n");
    app->writeStatus(5);
    ASSERT_TRUE(shown(child<QWidget>(panel(), "enrolledBody")));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    app->writeStatus(5, false);
    ASSERT_TRUE(shown(enrollButton()));
    EXPECT_EQ(codeField()->text(), "");
    EXPECT_EQ(nameField()->text(), "Test Machine");
    EXPECT_EQ(panel().findChildren<EnrollFormView*>().size(), 1);
}

TEST_F(PanelTest, DetailsStartCollapsedAndOpenToTheDiagnosticsInCaption2Secondary) {
    make({test::Mode::beta, true, true});
    app->writeStatus(5, true, true, 1);
    EXPECT_EQ(label(panel(), "blocked")->text(), "Blocked 1 since the service started");
    EXPECT_EQ(label(panel(), "blocking")->text(), "Blocking: social media");
    auto* toggle = child<QToolButton>(panel(), "detailsToggle");
    EXPECT_EQ(toggle->text(), "Details");
    EXPECT_FALSE(panel().detailsOpen());
    EXPECT_FALSE(shown(child<QWidget>(panel(), "detailsContent")));
    const int collapsed = panel().height();

    QTest::mouseClick(toggle, Qt::LeftButton);
    ASSERT_TRUE(shown(child<QWidget>(panel(), "detailsContent")));
    EXPECT_GT(panel().height(), collapsed) << "the panel follows its content";
    EXPECT_EQ(panel().width(), MenuPanel::kWidth);
    QStringList lines;
    for (QLabel* line : panel().findChildren<QLabel*>(QStringLiteral("detailsLine"))) {
        lines << line->text();
        EXPECT_EQ(line->font(), fontFor(TextStyle::caption2, QApplication::font()));
        EXPECT_EQ(line->palette().color(QPalette::WindowText), secondaryColour(panel().palette()));
    }
    const auto diagnostics = app->state->diagnostics();
    ASSERT_EQ(lines.size(), static_cast<int>(diagnostics.size()));
    for (std::size_t i = 0; i < diagnostics.size(); ++i) EXPECT_EQ(lines[int(i)].toStdString(), diagnostics[i]);

    // A status with no blocks drops the count line.
    app->writeStatus(5, true, true, 0);
    EXPECT_FALSE(shown(label(panel(), "blocked")));
}

TEST_F(PanelTest, FooterButtonsOpenTheDashboardAndQuitWithTheModesTooltip) {
    make();
    EXPECT_EQ(button(panel(), "quit")->toolTip(),
              "Quitting stops health reporting. Blocking continues in the network filter.");
    QTest::mouseClick(button(panel(), "dashboard"), Qt::LeftButton);
    QTest::mouseClick(button(panel(), "quit"), Qt::LeftButton);
    EXPECT_EQ(recorded.quits, 0) << "handlers return before the operation starts";
    runPosted();
    EXPECT_EQ(recorded.quits, 1);
    ASSERT_EQ(recorded.opened.size(), 1u);
    EXPECT_EQ(recorded.opened[0].toString().toStdString(), app->service->baseURL() + "/dashboard");

    // Without an environment "Dashboard" does nothing.
    screens.reset();
    app = std::make_unique<AppFixture>(AppFixture::Options{test::Mode::beta, false, false});
    screens = std::make_unique<AppScreens>(*app->state, hooksFor(recorded), true);
    EXPECT_EQ(button(panel(), "quit")->toolTip(), "Blocking continues in the service.");
    QTest::mouseClick(button(panel(), "dashboard"), Qt::LeftButton);
    runPosted();
    EXPECT_EQ(recorded.opened.size(), 1u);
}

TEST_F(PanelTest, TheIconFollowsTheStateWhileThePanelIsClosed) {
    make();
    panel().hide();
    EXPECT_EQ(screens->icon().symbol(), "shield.slash");
    ASSERT_TRUE(app->enroll());
    EXPECT_EQ(screens->icon().symbol(), QString::fromStdString(app->state->symbolName()));
    EXPECT_EQ(screens->icon().symbol(), "checkmark.shield.fill");
    app->filter->running = false;
    ASSERT_TRUE(app->tick());
    EXPECT_EQ(screens->icon().symbol(), "shield.slash");
    EXPECT_EQ(screens->icon().window()->symbol(), "shield.slash");
}

// How far down the label's picture something is drawn, in pixels of the
// label; -1 for nothing.
int lowestInk(QLabel* label) {
    const QImage image = label->grab().toImage();
    const QRgb background = image.pixel(0, 0);
    for (int y = image.height() - 1; y >= 0; --y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != background) return int(y / image.devicePixelRatio());
        }
    }
    return -1;
}

// An error with a run longer than a line (an address, a token) wraps inside
// the run: the label is as tall as the whole run needs, lies inside the
// panel, and the run's last line is drawn.
TEST_F(PanelTest, ALongRunWithoutBlanksWrapsInsideThePanelWithEveryCharacterShown) {
    make();
    ASSERT_TRUE(app->enroll());
    const std::string run = "https://updates.example.test/" + std::string(260, 'k') + "?token=" + std::string(60, 'Z');
    ASSERT_TRUE(app->failFilterInstallation(run));
    QTest::mouseClick(child<QToolButton>(panel(), "detailsToggle"), Qt::LeftButton);
    QCoreApplication::processEvents();
    expectLaidOutCleanly(panel(), "with a long run");

    QLabel* error = label(panel(), "error");
    ASSERT_TRUE(shown(error));
    EXPECT_EQ(error->text().toStdString(), "Could not install the filter: " + run);
    QLabel* extension = nullptr;
    for (QLabel* line : panel().findChildren<QLabel*>(QStringLiteral("detailsLine"))) {
        if (line->text().startsWith(QStringLiteral("Extension: "))) extension = line;
    }
    ASSERT_TRUE(extension);
    for (QLabel* text : {error, extension}) {
        const QString name = text->objectName();
        // Inside the panel's padding, not out at its edge.
        const QRect place(text->mapTo(&panel(), QPoint(0, 0)), text->size());
        EXPECT_LE(place.right(), MenuPanel::kWidth - 14) << name.toStdString();
        // Tall enough for the whole run at the width it has...
        const QFontMetricsF metrics(text->font());
        const double needed = metrics.horizontalAdvance(text->text()) / text->width();
        EXPECT_GE(text->height(), int(needed) * int(metrics.lineSpacing())) << name.toStdString();
        // ...and its last line is drawn.
        EXPECT_GE(lowestInk(text), text->height() - int(metrics.lineSpacing()) - 1) << name.toStdString();
    }
}
