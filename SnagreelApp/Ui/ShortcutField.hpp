#pragma once

#include "SnagreelApp/System/CaptureShortcut.hpp"

#include <QPointer>
#include <QUuid>
#include <QWidget>

class QPushButton;

namespace snagreel::app {

class GlobalHotKey;

namespace shortcuttexts {
inline constexpr const char* kRecording = "Press shortcut…";
inline constexpr const char* kEmpty = "Click to record";
inline constexpr const char* kAccessibleName = "Capture shortcut";
inline constexpr const char* kClear = "Clear";
inline constexpr const char* kReset = "Reset";
inline constexpr const char* kHelp =
    "Click the shortcut, then press a new combination. Escape cancels.";
} // namespace shortcuttexts

// The field that records a new capture shortcut: click it (or focus it) and press
// the combination. It changes the shortcut only through GlobalHotKey, which keeps
// any failure text in its lastError.
class ShortcutField : public QWidget {
    Q_OBJECT
public:
    explicit ShortcutField(GlobalHotKey& hotKey, QWidget* parent = nullptr);
    ~ShortcutField() override;

    QSize sizeHint() const override { return {225, 30}; }
    QSize minimumSizeHint() const override { return sizeHint(); }

    bool isRecording() const { return !recordingID_.isNull(); }
    // Only while this field's window is the active one.
    void startRecording();
    void stopRecording();
    // The text shown in the field now.
    QString displayText() const;
    // Why the last recorded combination was refused, or empty. A refusal by
    // validation is not kept by GlobalHotKey, yet the user must see it.
    const QString& refusal() const { return refusal_; }

signals:
    void refusalChanged();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void record(const QKeyEvent& event);
    void acceptCurrent(const CaptureShortcut& shortcut);
    void finish();

    void setRefusal(QString text);

    GlobalHotKey& hotKey_;
    QUuid recordingID_;
    QString refusal_;
};

// The settings row: the field, "Clear" (disabled while there is no shortcut) and
// "Reset" (back to Ctrl+Alt+Super+F).
class ShortcutRecorder : public QWidget {
    Q_OBJECT
public:
    explicit ShortcutRecorder(GlobalHotKey& hotKey, QWidget* parent = nullptr);
    ShortcutField* field() const { return field_; }
    QPushButton* clearButton() const { return clear_; }
    QPushButton* resetButton() const { return reset_; }
    // The line to show under the row: GlobalHotKey's failure text, else the
    // field's refusal; empty when all is well.
    QString errorText() const;

signals:
    void errorTextChanged();

private:
    void refresh();

    GlobalHotKey& hotKey_;
    ShortcutField* field_;
    QPushButton* clear_;
    QPushButton* reset_;
};

} // namespace snagreel::app
