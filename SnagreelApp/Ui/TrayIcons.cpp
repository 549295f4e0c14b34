#include "SnagreelApp/Ui/TrayIcons.hpp"

#include <QStringList>

// The icons live in this static library; nothing refers to their generated
// initialiser, so the linker would drop it unless it is run by hand.
static void initialiseSnagreelResources() {
    Q_INIT_RESOURCE(snagreel);
}

namespace snagreel::app {
namespace {

void ensureResources() {
    static const bool done = (initialiseSnagreelResources(), true);
    (void)done;
}

QIcon bundled(const char* name) {
    ensureResources();
    return QIcon(QStringLiteral(":/snagreel/icons/%1.svg").arg(QLatin1String(name)));
}

} // namespace

RecorderIconState recorderIconState(bool isRecording, bool desiredRecording, bool hasFeedback) {
    if (isRecording)
        return hasFeedback ? RecorderIconState::feedback : RecorderIconState::recording;
    return desiredRecording ? RecorderIconState::starting : RecorderIconState::paused;
}

QIcon recorderIcon(RecorderIconState state) {
    // Only the paused face has a theme icon that means the same thing; the
    // others are this program's own marks, so they always come from the bundle.
    switch (state) {
    case RecorderIconState::feedback:
        return bundled("tray-feedback");
    case RecorderIconState::recording:
        return bundled("tray-recording");
    case RecorderIconState::starting:
        return bundled("tray-starting");
    case RecorderIconState::paused:
        return QIcon::fromTheme(QStringLiteral("media-playback-pause"), bundled("tray-paused"));
    }
    return bundled("tray-paused");
}

QIcon applicationIcon() {
    return QIcon::fromTheme(QStringLiteral("snagreel"), bundled("snagreel"));
}

QString recorderTooltip(const QString& feedback, const QString& status) {
    QStringList parts;
    if (!feedback.isEmpty())
        parts << feedback;
    if (!status.isEmpty())
        parts << status;
    return parts.join(QStringLiteral(", "));
}

} // namespace snagreel::app
