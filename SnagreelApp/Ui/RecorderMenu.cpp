#include "SnagreelApp/Ui/RecorderMenu.hpp"

#include <QActionGroup>
#include <QMenu>

namespace snagreel::app {
namespace {

namespace t = recordermenutexts;

QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

void addItem(QMenu& menu, const char* label, const std::function<void()>& action,
             bool enabled = true) {
    QAction* item = menu.addAction(text(label));
    item->setEnabled(enabled);
    QObject::connect(item, &QAction::triggered, &menu, [action] {
        if (action)
            action();
    });
}

} // namespace

void fillRecorderMenu(QMenu& menu, const RecorderMenuState& state,
                      const RecorderMenuActions& actions) {
    menu.clear();
    menu.addAction(state.status)->setEnabled(false);
    if (state.shortcutUnavailable)
        menu.addAction(text(t::kShortcutUnavailable))->setEnabled(false);

    // The shortcut stands after a tab, where menus show key equivalents.
    QString save =
        text(t::kSaveLastPrefix) + QString::number(state.lookback) + text(t::kSaveLastSuffix);
    if (!state.shortcutName.isEmpty())
        save += QLatin1Char('\t') + state.shortcutName;
    QAction* saveItem = menu.addAction(save);
    saveItem->setEnabled(state.canCapture);
    QObject::connect(saveItem, &QAction::triggered, &menu, [capture = actions.capture] {
        if (capture)
            capture(true);
    });
    addItem(
        menu, t::kSaveWithoutReport,
        [capture = actions.capture] {
            if (capture)
                capture(false);
        },
        state.canCapture);

    QMenu* length = menu.addMenu(text(t::kClipLength));
    auto* group = new QActionGroup(length);
    for (const auto& [seconds, label] :
         {std::pair{30, t::kThirtySeconds}, std::pair{60, t::kSixtySeconds}}) {
        QAction* choice = length->addAction(text(label));
        choice->setCheckable(true);
        choice->setChecked(state.lookback == seconds);
        group->addAction(choice);
        QObject::connect(choice, &QAction::triggered, &menu,
                         [setLookback = actions.setLookback, seconds] {
                             if (setLookback)
                                 setLookback(seconds);
                         });
    }

    menu.addSeparator();
    addItem(menu, t::kOpenClipsFolder, actions.openClipsFolder);
    if (state.hosted) {
        addItem(menu, t::kYourReports, actions.openHostedLibrary);
        if (!state.signedIn)
            addItem(menu, t::kSignIn, actions.signIn);
        if (state.selectedHasHostedReport)
            addItem(menu, t::kOpenLatestReport, actions.openLatestReport);
    }
    addItem(menu, t::kOpenApp, actions.openMainWindow);
    QAction* settings = menu.addAction(text(t::kSettings));
    settings->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
    QObject::connect(settings, &QAction::triggered, &menu, [open = actions.openSettings] {
        if (open)
            open();
    });

    menu.addSeparator();
    if (state.desiredRecording)
        addItem(menu, t::kPause, actions.pause);
    else
        addItem(menu, t::kResume, actions.resume);
    if (state.canRetryRecording)
        addItem(menu, t::kTryAgain, actions.retry);
    if (state.needsScreenAccess)
        addItem(menu, t::kScreenAccess, actions.openScreenAccess);
    addItem(menu, t::kQuit, actions.quit);
}

namespace {

// Same items in the same places, whatever the first (status) line says.
bool sameItems(const QMenu& shown, const QMenu& fresh, bool skipStatus) {
    const QList<QAction*> a = shown.actions();
    const QList<QAction*> b = fresh.actions();
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i]->isSeparator() != b[i]->isSeparator() ||
            (a[i]->menu() == nullptr) != (b[i]->menu() == nullptr) ||
            a[i]->isCheckable() != b[i]->isCheckable())
            return false;
        if (!(skipStatus && i == 0) && a[i]->text() != b[i]->text())
            return false;
        if (a[i]->menu() && !sameItems(*a[i]->menu(), *b[i]->menu(), false))
            return false;
    }
    return true;
}

void copyStates(QMenu& shown, const QMenu& fresh) {
    const QList<QAction*> a = shown.actions();
    const QList<QAction*> b = fresh.actions();
    for (qsizetype i = 0; i < a.size(); ++i) {
        a[i]->setText(b[i]->text());
        a[i]->setEnabled(b[i]->isEnabled());
        if (a[i]->isCheckable())
            a[i]->setChecked(b[i]->isChecked());
        if (a[i]->menu())
            copyStates(*a[i]->menu(), *b[i]->menu());
    }
}

} // namespace

bool updateOpenRecorderMenu(QMenu& shown, const RecorderMenuState& state) {
    QMenu fresh;
    fillRecorderMenu(fresh, state, RecorderMenuActions{});
    if (!sameItems(shown, fresh, true))
        return false;
    copyStates(shown, fresh);
    return true;
}

QString recorderFeedback(bool hosted, bool captureAcknowledged, bool hasUnopenedReadyReport) {
    if (!hosted)
        return {};
    if (captureAcknowledged)
        return text(t::kSaved);
    if (hasUnopenedReadyReport)
        return text(t::kReportReady);
    return {};
}

} // namespace snagreel::app
