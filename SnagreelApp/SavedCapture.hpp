#pragma once

#include "SnagreelReports/ReportDocument.hpp"

#include <QMetaType>

#include <filesystem>
#include <string>

namespace snagreel::app {

// One capture folder as the History list shows it.
struct SavedCapture {
    std::filesystem::path directory;
    // The folder's birth time where the file system keeps one, else its modification
    // time, else the distant past.
    reports::ReportDate date = reports::distantPastReportDate();
    std::string name; // at most 160 characters
    bool hasReport = false;

    // The folder's name, which is also the capture bundle's id.
    std::string id() const { return directory.filename().string(); }

    bool operator==(const SavedCapture&) const = default;
};

} // namespace snagreel::app

Q_DECLARE_METATYPE(snagreel::app::SavedCapture)
Q_DECLARE_METATYPE(snagreel::reports::ReportEntry)
