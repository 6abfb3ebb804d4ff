#pragma once
// The panel that opens from the tray icon: header, divider, body, divider,
// footer. It draws the core's MenuModel and starts the app state's
// operations; it decides nothing itself.

#include <QFrame>
#include <QPointer>
#include <QUrl>
#include <functional>
#include <optional>
#include <string>

#include "Keldra/AppState.h"
#include "Keldra/MenuModel.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace keldra::screens {

class Spinner;
class EnrollFormView;

class MenuPanel : public QFrame {
    Q_OBJECT
public:
    static constexpr int kWidth = 320;

    struct Hooks {
        // "Quit": asks the application to end (after the state's stop()).
        std::function<void()> quit;
        // "Dashboard": opens the address in the user's browser.
        std::function<void(const QUrl&)> openUrl;
        // The device name "Repair" sends and a new form starts with.
        std::function<std::string()> deviceName;
    };

    MenuPanel(AppState& state, Hooks hooks, QWidget* parent = nullptr);
    ~MenuPanel() override;

    // Draws the state as it is now. Call on every published change.
    void refresh();

    const MenuModel& model() const { return model_; }
    bool detailsOpen() const;

signals:
    // The panel's height followed a change of its content.
    void resized();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildHeader(QVBoxLayout* root);
    QWidget* buildEnrolledBody();
    void buildFooter(QVBoxLayout* root);
    void applyEnrolledBody();
    void applyForm();
    void applyButton(QPushButton* button, const MenuButton& model);
    void updateEnrollButton();
    void start(MenuAction action);
    void fitToContent();
    void setDetailsOpen(bool open);

    AppState& state_;
    Hooks hooks_;
    MenuModel model_;

    QLabel* symbol_ = nullptr;
    QLabel* headline_ = nullptr;
    QLabel* commitment_ = nullptr;
    Spinner* spinner_ = nullptr;

    QWidget* bodyHost_ = nullptr;
    QVBoxLayout* bodyLayout_ = nullptr;
    QWidget* enrolled_ = nullptr;
    QLabel* message_ = nullptr;
    QPointer<EnrollFormView> form_;

    QLabel* blocking_ = nullptr;
    QWidget* prompt_ = nullptr;
    QLabel* promptText_ = nullptr;
    QPushButton* promptButton_ = nullptr;
    QLabel* error_ = nullptr;
    QLabel* lastCheck_ = nullptr;
    QLabel* blocked_ = nullptr;
    QToolButton* detailsToggle_ = nullptr;
    QWidget* detailsContent_ = nullptr;
    QVBoxLayout* detailsLayout_ = nullptr;
    std::vector<MenuText> shownDetails_;
    // Whether "Details" is open; a new panel starts with it closed.
    bool detailsOpen_ = false;

    QPushButton* checkNow_ = nullptr;
    QPushButton* dashboard_ = nullptr;
    QPushButton* quit_ = nullptr;
};

// The enrolment form: its code and name are the view's own; a new form
// starts with an empty code and the default name.
class EnrollFormView : public QWidget {
    Q_OBJECT
public:
    EnrollFormView(const QString& defaultName, QWidget* parent = nullptr);

    void apply(const EnrollForm& form);
    void applyButton(const MenuButton& button);

    std::string code() const;
    std::string name() const;
    QPushButton* button() const { return button_; }

signals:
    void contentsChanged();
    void submitted();

protected:
    // Return or Enter anywhere in the form presses the enrol button.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QLabel* intro_ = nullptr;
    QLineEdit* code_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* button_ = nullptr;
};

}  // namespace keldra::screens
