#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <QObject>

#include <memory>
#include <optional>
#include <string>

namespace snagreel::app {

// The platform's record of whether this program opens at login.
class LoginItemService {
public:
    enum Status : int { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

    virtual ~LoginItemService() = default;
    virtual int status() const = 0;
    virtual Result<void> registerItem() = 0;
    virtual Result<void> unregisterItem() = 0;
};

// The "Open at login" toggle's model. Main thread only.
class LaunchAtLogin : public QObject {
    Q_OBJECT
public:
    explicit LaunchAtLogin(std::unique_ptr<LoginItemService> service, QObject* parent = nullptr);

    const std::optional<std::string>& error() const { return error_; }
    int status() const { return status_; }
    bool isRegistered() const {
        return status_ == LoginItemService::enabled ||
               status_ == LoginItemService::requiresApproval;
    }

    void setEnabled(bool enabled);
    // Reads the status again (the settings window does so whenever it is shown).
    void refresh();

    // The settings window's explanation of `status`.
    static std::string statusLine(int status);
    std::string statusLine() const { return statusLine(status_); }

signals:
    void changed();

private:
    void setStatus(int status);

    std::unique_ptr<LoginItemService> service_;
    std::optional<std::string> error_;
    int status_ = 0;
};

} // namespace snagreel::app
