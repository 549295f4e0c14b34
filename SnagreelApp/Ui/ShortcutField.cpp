#include "SnagreelApp/Ui/ShortcutField.hpp"

#include "SnagreelApp/System/GlobalHotKey.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

namespace snagreel::app {
namespace {

// Qt delivers a key press for a modifier on its own; taking it as the
// combination would end recording on the first Ctrl with an invalid shortcut.
bool isBareModifier(int key) {
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_unknown:
        return true;
    default:
        return false;
    }
}

bool isFocusKey(const QKeyEvent& event) {
    const auto key = event.key();
    const bool chorded =
        event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    return (key == Qt::Key_Tab || key == Qt::Key_Backtab) && !chorded;
}

// Screen readers see the field as a button named "Capture shortcut"; pressing
// it starts recording as a click does.
class ShortcutFieldAccessible : public QAccessibleWidget {
public:
    explicit ShortcutFieldAccessible(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::Button,
                            QString::fromUtf8(shortcuttexts::kAccessibleName)) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return QString::fromUtf8(shortcuttexts::kAccessibleName);
        if (t == QAccessible::Value || t == QAccessible::Description)
            return static_cast<ShortcutField*>(widget())->displayText();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override {
        if (action != pressAction())
            return;
        auto* field = static_cast<ShortcutField*>(widget());
        field->setFocus(Qt::OtherFocusReason);
        field->startRecording();
    }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("snagreel::app::ShortcutField") && object &&
        object->isWidgetType())
        return new ShortcutFieldAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

ShortcutField::ShortcutField(GlobalHotKey& hotKey, QWidget* parent)
    : QWidget(parent), hotKey_(hotKey) {
    static const bool factoryInstalled = (QAccessible::installFactory(accessibleFactory), true);
    (void)factoryInstalled;
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QString::fromUtf8(shortcuttexts::kAccessibleName));
    setFixedSize(sizeHint());
    connect(&hotKey_, &GlobalHotKey::shortcutChanged, this, qOverload<>(&QWidget::update));
    connect(&hotKey_, &GlobalHotKey::lastErrorChanged, this, qOverload<>(&QWidget::update));
}

ShortcutField::~ShortcutField() {
    stopRecording();
}

void ShortcutField::startRecording() {
    if (isRecording() || !isActiveWindow())
        return;
    const QUuid id = QUuid::createUuid();
    QPointer<ShortcutField> self(this);
    hotKey_.beginRecording({id, [self](const CaptureShortcut& shortcut) {
                                if (self)
                                    self->acceptCurrent(shortcut);
                            }});
    hotKey_.clearLastError();
    setRefusal({});
    recordingID_ = id;
    update();
}

void ShortcutField::stopRecording() {
    if (!isRecording())
        return;
    hotKey_.endRecording(recordingID_);
    recordingID_ = QUuid();
    update();
}

QString ShortcutField::displayText() const {
    if (isRecording())
        return QString::fromUtf8(shortcuttexts::kRecording);
    if (const auto& shortcut = hotKey_.shortcut())
        return QString::fromStdString(shortcut->displayName());
    return QString::fromUtf8(shortcuttexts::kEmpty);
}

bool ShortcutField::event(QEvent* event) {
    if (isRecording()) {
        // Application shortcuts (Ctrl+S and the like) would take the press
        // before it reaches the field; while recording every key is ours.
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept();
            return true;
        }
        // Tab and Backtab move the focus inside QWidget::event before
        // keyPressEvent sees them, so they are caught here.
        if (event->type() == QEvent::KeyPress) {
            keyPressEvent(static_cast<QKeyEvent*>(event));
            return true;
        }
    }
    return QWidget::event(event);
}

void ShortcutField::keyPressEvent(QKeyEvent* event) {
    if (!isRecording()) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    record(*event);
}

void ShortcutField::record(const QKeyEvent& event) {
    if (event.isAutoRepeat() || isBareModifier(event.key()))
        return;
    if (event.key() == Qt::Key_Escape) {
        finish();
        return;
    }
    if (isFocusKey(event)) {
        const bool backwards =
            event.key() == Qt::Key_Backtab || (event.modifiers() & Qt::ShiftModifier);
        stopRecording();
        focusNextPrevChild(!backwards);
        return;
    }
    // A refusal (invalid or taken) leaves the old shortcut; GlobalHotKey keeps
    // the text to show.
    const auto changed = hotKey_.setShortcut(CaptureShortcut::fromKeyEvent(event));
    setRefusal(changed ? QString() : QString::fromStdString(changed.error().description()));
    update();
    finish();
}

void ShortcutField::acceptCurrent(const CaptureShortcut& shortcut) {
    if (!isActiveWindow() || !hasFocus())
        return;
    (void)hotKey_.setShortcut(shortcut);
    finish();
}

void ShortcutField::setRefusal(QString text) {
    if (text == refusal_)
        return;
    refusal_ = std::move(text);
    emit refusalChanged();
}

void ShortcutField::finish() {
    stopRecording();
    clearFocus();
}

void ShortcutField::mousePressEvent(QMouseEvent* event) {
    event->accept();
    setFocus(Qt::MouseFocusReason);
    startRecording();
}

void ShortcutField::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    startRecording();
}

void ShortcutField::focusOutEvent(QFocusEvent* event) {
    stopRecording();
    QWidget::focusOutEvent(event);
}

void ShortcutField::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        stopRecording();
    QWidget::changeEvent(event);
}

void ShortcutField::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath path;
    path.addRoundedRect(frame, 6, 6);
    painter.fillPath(path, palette().color(QPalette::Base));
    QPen pen(isRecording() ? palette().color(QPalette::Highlight) : palette().color(QPalette::Mid));
    pen.setWidthF(isRecording() ? 2 : 1);
    painter.setPen(pen);
    painter.drawPath(path);

    QFont font = this->font();
    font.setPointSizeF(10);
    painter.setFont(font);
    painter.setPen(palette().color(QPalette::Text));
    const QString text = displayText();
    const int textWidth = painter.fontMetrics().horizontalAdvance(text);
    const int left = std::max(8, (width() - textWidth) / 2);
    painter.drawText(QRect(left, 0, width() - left - 4, height()), Qt::AlignLeft | Qt::AlignVCenter,
                     painter.fontMetrics().elidedText(text, Qt::ElideRight, width() - left - 4));
}

ShortcutRecorder::ShortcutRecorder(GlobalHotKey& hotKey, QWidget* parent)
    : QWidget(parent), hotKey_(hotKey), field_(new ShortcutField(hotKey, this)),
      clear_(new QPushButton(tr(shortcuttexts::kClear), this)),
      reset_(new QPushButton(tr(shortcuttexts::kReset), this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(field_, 0, Qt::AlignVCenter);
    layout->addWidget(clear_);
    layout->addWidget(reset_);
    layout->addStretch(1);
    // Both buttons end any recording first, so that the click is not taken as
    // the end of an unfinished combination.
    connect(clear_, &QPushButton::clicked, this, [this] {
        field_->stopRecording();
        field_->clearFocus();
        (void)hotKey_.setShortcut(std::nullopt);
    });
    connect(reset_, &QPushButton::clicked, this, [this] {
        field_->stopRecording();
        field_->clearFocus();
        (void)hotKey_.setShortcut(CaptureShortcut::defaultShortcut());
    });
    connect(&hotKey_, &GlobalHotKey::shortcutChanged, this, &ShortcutRecorder::refresh);
    connect(&hotKey_, &GlobalHotKey::lastErrorChanged, this, &ShortcutRecorder::errorTextChanged);
    connect(field_, &ShortcutField::refusalChanged, this, &ShortcutRecorder::errorTextChanged);
    refresh();
}

QString ShortcutRecorder::errorText() const {
    if (const auto& error = hotKey_.lastError())
        return QString::fromStdString(*error);
    return field_->refusal();
}

void ShortcutRecorder::refresh() {
    clear_->setEnabled(hotKey_.shortcut().has_value());
}

} // namespace snagreel::app
