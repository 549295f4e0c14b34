#pragma once

#include <QIcon>
#include <QString>

namespace snagreel::app {

// The four faces of the tray item. The tray shows only the icon; what would
// stand beside it goes into the tooltip.
enum class RecorderIconState {
    feedback,  // recording, and there is something to tell (a save acknowledged, a report ready)
    recording, // recording, nothing to tell
    starting,  // not recording but wanted: starting or retrying
    paused,    // not recording and not wanted
};

RecorderIconState recorderIconState(bool isRecording, bool desiredRecording, bool hasFeedback);

// The themed icon where the desktop theme has a fitting one, else the bundled one.
QIcon recorderIcon(RecorderIconState state);
// The bundled application icon.
QIcon applicationIcon();

// The feedback and the recorder status, the present ones joined with ", ".
QString recorderTooltip(const QString& feedback, const QString& status);

} // namespace snagreel::app
