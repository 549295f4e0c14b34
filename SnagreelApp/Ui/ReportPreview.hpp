#pragma once

#include <QTextBrowser>
#include <QUrl>

#include <filesystem>
#include <functional>
#include <string_view>

namespace snagreel::app {

// The rendered report: the presentation module's blocks laid out as native rich
// text. Read-only, and it never fetches anything: an image or resource named in
// the report loads as nothing, and a clicked link goes through the report link
// rules instead of the browser's own navigation.
class ReportPreview : public QTextBrowser {
    Q_OBJECT
public:
    explicit ReportPreview(QWidget* parent = nullptr);

    void setReport(std::string_view markdown, const std::filesystem::path& captureDirectory);

    // Seams for the two outside effects of a link: the system's default action
    // for a URL (a web page or an evidence image), and seeking the replay player.
    std::function<void(const QUrl&)> openUrl;
    std::function<void(double seconds)> seekClip;

    QVariant loadResource(int type, const QUrl& name) override;

public slots:
    void activateLink(const QUrl& link);

private:
    std::filesystem::path captureDirectory_;
};

} // namespace snagreel::app
