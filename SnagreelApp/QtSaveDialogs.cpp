#include "SnagreelApp/QtSaveDialogs.hpp"

#include <QDir>
#include <QFileDialog>
#include <QStringList>

namespace snagreel::app {

void QtSaveDialogs::chooseSaveLocation(
    const SaveDialogRequest& request,
    std::function<void(std::optional<std::filesystem::path>)> done) {
    auto* dialog = new QFileDialog(nullptr, QString::fromStdString(request.title),
                                   QDir::homePath() + QLatin1Char('/') +
                                       QString::fromStdString(request.proposedName));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    if (!request.allowsFolderCreation) {
        dialog->setOption(QFileDialog::ReadOnly);
    }
    QStringList filters;
    for (const auto& filter : request.nameFilters) {
        filters << QString::fromStdString(filter);
    }
    if (!filters.isEmpty()) {
        dialog->setNameFilters(filters);
    }
    auto answered = std::make_shared<bool>(false);
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                     [done, answered](const QString& file) {
                         *answered = true;
                         done(std::filesystem::path(file.toStdString()));
                     });
    QObject::connect(dialog, &QFileDialog::finished, dialog, [done, answered](int) {
        if (!*answered) {
            *answered = true;
            done(std::nullopt);
        }
    });
    dialog->open();
}

} // namespace snagreel::app
