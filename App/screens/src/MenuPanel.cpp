#include "MenuPanel.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "DeviceName.h"
#include "ShieldSymbols.h"
#include "Spinner.h"
#include "TextStyles.h"
#include "WrappingLabel.h"

namespace keldra::screens {

namespace {

constexpr int kPadding = 14;
constexpr int kPanelSpacing = 10;
constexpr int kHeaderSpacing = 8;
constexpr int kHeadlineSpacing = 2;
constexpr int kBodySpacing = 8;
constexpr int kPromptSpacing = 6;
constexpr int kDetailsSpacing = 2;
constexpr int kDetailsTopPadding = 4;
constexpr int kFormSpacing = 8;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// Texts come from the state (some from the device service, escaped there)
// and are shown as they are: never as rich text, wrapped at the panel's
// width, inside a word too when it is longer than a line.
QLabel* textLabel(const char* objectName, QWidget* parent) {
    auto* label = new WrappingLabel(parent);
    label->setObjectName(QLatin1String(objectName));
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

void setLabel(QLabel* label, const MenuText& text) {
    if (label->text() != qs(text.text)) label->setText(qs(text.text));
    applyText(label, text.style, text.tone);
}

void setOptionalLabel(QLabel* label, const std::optional<MenuText>& text) {
    if (text) setLabel(label, *text);
    label->setVisible(text.has_value());
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setLineWidth(1);
    line->setFixedHeight(1);
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::Mid));
    line->setPalette(palette);
    return line;
}

QPushButton* pushButton(const char* objectName, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(objectName));
    button->setAutoDefault(false);
    button->setFont(fontFor(TextStyle::callout, QApplication::font()));
    return button;
}

void invalidateAll(QLayout* layout) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (item->layout()) {
            invalidateAll(item->layout());
        } else if (QWidget* widget = item->widget()) {
            if (widget->layout()) invalidateAll(widget->layout());
            widget->updateGeometry();  // drops the item's cached sizes
        }
    }
    layout->invalidate();
}

// Lays out every nested widget's layout in its widget as it is now, from
// the outside in: a nested layout otherwise keeps the places it gave while
// its widget had other children showing, until a posted event comes.
void applyAll(QLayout* layout) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (item->layout()) {
            applyAll(item->layout());
        } else if (QWidget* widget = item->widget(); widget && !widget->isHidden() && widget->layout()) {
            widget->layout()->invalidate();
            widget->layout()->activate();
            applyAll(widget->layout());
        }
    }
}

}  // namespace

// --- MenuPanel -----------------------------------------------------------

MenuPanel::MenuPanel(AppState& state, Hooks hooks, QWidget* parent)
    : QFrame(parent), state_(state), hooks_(std::move(hooks)) {
    if (!hooks_.deviceName) hooks_.deviceName = [] { return screens::deviceName(); };
    setObjectName(QStringLiteral("KeldraPanel"));
    setWindowTitle(QStringLiteral("Keldra"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    root->setSpacing(kPanelSpacing);

    buildHeader(root);
    root->addWidget(divider(this));

    bodyHost_ = new QWidget(this);
    bodyHost_->setObjectName(QStringLiteral("body"));
    bodyLayout_ = new QVBoxLayout(bodyHost_);
    bodyLayout_->setContentsMargins(0, 0, 0, 0);
    bodyLayout_->setSpacing(0);
    enrolled_ = buildEnrolledBody();
    bodyLayout_->addWidget(enrolled_);
    message_ = textLabel("message", bodyHost_);
    bodyLayout_->addWidget(message_);
    root->addWidget(bodyHost_);

    root->addWidget(divider(this));
    buildFooter(root);

    refresh();
}

MenuPanel::~MenuPanel() = default;

void MenuPanel::buildHeader(QVBoxLayout* root) {
    auto* header = new QHBoxLayout;
    header->setSpacing(kHeaderSpacing);
    header->setContentsMargins(0, 0, 0, 0);

    symbol_ = new QLabel(this);
    symbol_->setObjectName(QStringLiteral("symbol"));
    header->addWidget(symbol_, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(kHeadlineSpacing);
    texts->setContentsMargins(0, 0, 0, 0);
    headline_ = textLabel("headline", this);
    commitment_ = textLabel("commitment", this);
    texts->addWidget(headline_);
    texts->addWidget(commitment_);
    // The text column takes the room; what is left of it is the flexible
    // space that keeps the spinner at the right edge.
    header->addLayout(texts, 1);

    spinner_ = new Spinner(this);
    spinner_->setObjectName(QStringLiteral("spinner"));
    header->addWidget(spinner_, 0, Qt::AlignVCenter);
    root->addLayout(header);
}

QWidget* MenuPanel::buildEnrolledBody() {
    auto* body = new QWidget(bodyHost_);
    body->setObjectName(QStringLiteral("enrolledBody"));
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kBodySpacing);

    blocking_ = textLabel("blocking", body);
    layout->addWidget(blocking_);

    prompt_ = new QWidget(body);
    prompt_->setObjectName(QStringLiteral("prompt"));
    auto* promptLayout = new QVBoxLayout(prompt_);
    promptLayout->setContentsMargins(0, 0, 0, 0);
    promptLayout->setSpacing(kPromptSpacing);
    promptText_ = textLabel("promptText", prompt_);
    promptButton_ = pushButton("promptButton", prompt_);
    promptLayout->addWidget(promptText_);
    promptLayout->addWidget(promptButton_, 0, Qt::AlignLeft);
    layout->addWidget(prompt_);

    error_ = textLabel("error", body);
    lastCheck_ = textLabel("lastCheck", body);
    blocked_ = textLabel("blocked", body);
    layout->addWidget(error_);
    layout->addWidget(lastCheck_);
    layout->addWidget(blocked_);

    auto* details = new QWidget(body);
    details->setObjectName(QStringLiteral("details"));
    auto* detailsLayout = new QVBoxLayout(details);
    detailsLayout->setContentsMargins(0, 0, 0, 0);
    detailsLayout->setSpacing(0);
    detailsToggle_ = new QToolButton(details);
    detailsToggle_->setObjectName(QStringLiteral("detailsToggle"));
    detailsToggle_->setAutoRaise(true);
    detailsToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    detailsToggle_->setArrowType(Qt::RightArrow);
    detailsToggle_->setFont(fontFor(TextStyle::caption, QApplication::font()));
    connect(detailsToggle_, &QToolButton::clicked, this, [this] { setDetailsOpen(!detailsOpen_); });
    detailsLayout->addWidget(detailsToggle_, 0, Qt::AlignLeft);

    detailsContent_ = new QWidget(details);
    detailsContent_->setObjectName(QStringLiteral("detailsContent"));
    detailsLayout_ = new QVBoxLayout(detailsContent_);
    detailsLayout_->setContentsMargins(0, kDetailsTopPadding, 0, 0);
    detailsLayout_->setSpacing(kDetailsSpacing);
    detailsContent_->setVisible(false);
    detailsLayout->addWidget(detailsContent_);
    layout->addWidget(details);

    connect(promptButton_, &QPushButton::clicked, this, [this] {
        if (model_.promptButton) start(model_.promptButton->action);
    });
    return body;
}

void MenuPanel::buildFooter(QVBoxLayout* root) {
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(0, 0, 0, 0);
    checkNow_ = pushButton("checkNow", this);
    dashboard_ = pushButton("dashboard", this);
    quit_ = pushButton("quit", this);
    footer->addWidget(checkNow_, 0, Qt::AlignVCenter);
    footer->addWidget(dashboard_, 0, Qt::AlignVCenter);
    footer->addStretch(1);
    footer->addWidget(quit_, 0, Qt::AlignVCenter);
    root->addLayout(footer);

    connect(checkNow_, &QPushButton::clicked, this, [this] { start(model_.checkNow.action); });
    connect(dashboard_, &QPushButton::clicked, this, [this] { start(model_.dashboard.action); });
    connect(quit_, &QPushButton::clicked, this, [this] { start(model_.quit.action); });
}

bool MenuPanel::detailsOpen() const {
    return detailsOpen_;
}

void MenuPanel::setDetailsOpen(bool open) {
    detailsOpen_ = open;
    detailsToggle_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    detailsContent_->setVisible(open);
    fitToContent();
}

void MenuPanel::refresh() {
    model_ = MenuModel::of(state_);

    // Header.
    const QFont title2 = fontFor(TextStyle::title2, QApplication::font());
    const int side = QFontMetrics(title2).height();
    const SymbolStyle ink{palette().color(QPalette::WindowText), std::nullopt};
    symbol_->setPixmap(symbolIcon(qs(model_.symbolName), ink).pixmap(QSize(side, side), devicePixelRatioF()));
    symbol_->setFixedSize(side, side);
    symbol_->setProperty("symbolName", qs(model_.symbolName));
    setLabel(headline_, model_.headline);
    setOptionalLabel(commitment_, model_.commitmentLine);
    spinner_->setVisible(model_.showsSpinner);

    // Body.
    enrolled_->setVisible(model_.body == MenuBody::enrolled);
    message_->setVisible(model_.body == MenuBody::message);
    if (model_.body == MenuBody::enrolled) applyEnrolledBody();
    if (model_.body == MenuBody::message && model_.message) setLabel(message_, *model_.message);
    applyForm();

    // Footer.
    applyButton(checkNow_, model_.checkNow);
    applyButton(dashboard_, model_.dashboard);
    applyButton(quit_, model_.quit);

    fitToContent();
}

void MenuPanel::applyEnrolledBody() {
    setOptionalLabel(blocking_, model_.blockingLine);
    const bool prompt = model_.prompt != MenuPrompt::none && model_.promptText && model_.promptButton;
    prompt_->setVisible(prompt);
    if (prompt) {
        setLabel(promptText_, *model_.promptText);
        applyButton(promptButton_, *model_.promptButton);
    }
    setOptionalLabel(error_, model_.errorLine);
    setOptionalLabel(lastCheck_, model_.lastCheckLine);
    setOptionalLabel(blocked_, model_.blockedLine);

    detailsToggle_->setText(qs(model_.detailsTitle));
    if (model_.details != shownDetails_) {
        while (QLayoutItem* item = detailsLayout_->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        for (const MenuText& line : model_.details) {
            QLabel* label = textLabel("detailsLine", detailsContent_);
            detailsLayout_->addWidget(label);
            setLabel(label, line);
            // A child added to a panel that is open would show only from a
            // posted event, after the height below has been taken without
            // it; shown now, it counts at once (and shows with "Details").
            label->show();
        }
        shownDetails_ = model_.details;
    }
}

void MenuPanel::applyForm() {
    if (model_.body != MenuBody::enroll || !model_.form) {
        // Leaving the form ends it; coming back makes a new one.
        if (form_) {
            // Out of the panel at once; deleted once no handler of it runs.
            bodyLayout_->removeWidget(form_);
            form_->hide();
            form_->setParent(nullptr);
            form_->deleteLater();
            form_ = nullptr;
        }
        return;
    }
    if (!form_) {
        const std::string name = hooks_.deviceName();
        form_ = new EnrollFormView(qs(name), bodyHost_);
        bodyLayout_->addWidget(form_);
        connect(form_, &EnrollFormView::contentsChanged, this, &MenuPanel::updateEnrollButton);
        connect(form_, &EnrollFormView::submitted, this, [this] {
            if (form_) start(MenuModel::enrollButton(state_, form_->code(), form_->name()).action);
        });
        form_->show();
    }
    form_->apply(*model_.form);
    updateEnrollButton();
}

void MenuPanel::updateEnrollButton() {
    if (!form_) return;
    form_->applyButton(MenuModel::enrollButton(state_, form_->code(), form_->name()));
}

void MenuPanel::applyButton(QPushButton* button, const MenuButton& model) {
    if (button->text() != qs(model.title)) button->setText(qs(model.title));
    button->setEnabled(model.enabled);
    button->setToolTip(model.help ? qs(*model.help) : QString());
}

void MenuPanel::start(MenuAction action) {
    // The handler returns at once; the operation starts from the event loop
    // and reads the form as it stands then.
    QTimer::singleShot(0, this, [this, action] {
        switch (action) {
            case MenuAction::checkNow:
                state_.tick();
                break;
            case MenuAction::installFilter:
                state_.installFilter();
                break;
            case MenuAction::repair:
                state_.installBeta("", hooks_.deviceName());
                break;
            case MenuAction::enroll:
                if (form_) state_.enroll(form_->code(), form_->name());
                break;
            case MenuAction::installBeta:
                if (form_) state_.installBeta(form_->code(), form_->name());
                break;
            case MenuAction::dashboard:
                if (model_.dashboardUrl && hooks_.openUrl) hooks_.openUrl(QUrl(qs(*model_.dashboardUrl)));
                break;
            case MenuAction::quit:
                if (hooks_.quit) hooks_.quit();
                break;
        }
    });
}

void MenuPanel::fitToContent() {
    // Nested layouts learn of shown and hidden children only through posted
    // events, and layout items cache their sizes; the height is wanted now,
    // so every cached size goes first.
    QLayout* root = layout();
    invalidateAll(root);
    root->activate();
    const int height = root->hasHeightForWidth() ? root->totalHeightForWidth(kWidth) : root->totalSizeHint().height();
    const bool changed = size() != QSize(kWidth, height);
    if (changed) setFixedSize(kWidth, height);
    root->activate();
    applyAll(root);
    if (changed) emit resized();
}

void MenuPanel::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    // An open form takes the typing at once.
    if (form_) form_->setFocus(Qt::PopupFocusReason);
}

void MenuPanel::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    // A hairline edge, drawn inside the padding, so the frameless panel
    // stands apart from whatever lies beneath it.
    QPainter p(this);
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void MenuPanel::changeEvent(QEvent* event) {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) {
        // Tones and sizes derive from the palette and the default font.
        shownDetails_.clear();
        QTimer::singleShot(0, this, [this] { refresh(); });
    }
}

// --- EnrollFormView --------------------------------------------------------

EnrollFormView::EnrollFormView(const QString& defaultName, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("enrollForm"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kFormSpacing);

    intro_ = textLabel("intro", this);
    code_ = new QLineEdit(this);
    code_->setObjectName(QStringLiteral("code"));
    name_ = new QLineEdit(defaultName, this);
    name_->setObjectName(QStringLiteral("name"));
    for (QLineEdit* field : {code_, name_}) {
        field->setFont(fontFor(TextStyle::callout, QApplication::font()));
        field->setFrame(true);
        field->setClearButtonEnabled(false);
        connect(field, &QLineEdit::textChanged, this, &EnrollFormView::contentsChanged);
    }
    error_ = textLabel("formError", this);
    button_ = pushButton("enroll", this);
    button_->setDefault(true);
    connect(button_, &QPushButton::clicked, this, &EnrollFormView::submitted);

    layout->addWidget(intro_);
    layout->addWidget(code_);
    layout->addWidget(name_);
    layout->addWidget(error_);
    layout->addWidget(button_, 0, Qt::AlignLeft);
    setFocusProxy(code_);
}

void EnrollFormView::apply(const EnrollForm& form) {
    setLabel(intro_, form.intro);
    code_->setPlaceholderText(qs(form.codePlaceholder));
    name_->setPlaceholderText(qs(form.namePlaceholder));
    setOptionalLabel(error_, form.error);
}

void EnrollFormView::applyButton(const MenuButton& button) {
    if (button_->text() != qs(button.title)) button_->setText(qs(button.title));
    button_->setEnabled(button.enabled);
    button_->setToolTip(button.help ? qs(*button.help) : QString());
}

std::string EnrollFormView::code() const {
    return code_->text().toStdString();
}

std::string EnrollFormView::name() const {
    return name_->text().toStdString();
}

void EnrollFormView::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (button_->isEnabled()) button_->click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace keldra::screens
