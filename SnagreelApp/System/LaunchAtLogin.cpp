#include "SnagreelApp/System/LaunchAtLogin.hpp"

namespace snagreel::app {

LaunchAtLogin::LaunchAtLogin(std::unique_ptr<LoginItemService> service, QObject* parent)
    : QObject(parent), service_(std::move(service)), status_(service_->status()) {}

void LaunchAtLogin::setEnabled(bool enabled) {
    error_.reset();
    status_ = service_->status();
    Result<void> changed;
    if (enabled && !isRegistered()) {
        changed = service_->registerItem();
    } else if (!enabled && status_ != LoginItemService::notRegistered) {
        changed = service_->unregisterItem();
    }
    if (!changed) {
        error_ = "Could not change launch at login: " + changed.error().description();
    }
    status_ = service_->status();
    emit this->changed();
}

void LaunchAtLogin::refresh() {
    setStatus(service_->status());
}

void LaunchAtLogin::setStatus(int status) {
    if (status_ != status) {
        status_ = status;
        emit changed();
    }
}

std::string LaunchAtLogin::statusLine(int status) {
    switch (status) {
    case LoginItemService::notRegistered:
        return "Does not open at login.";
    case LoginItemService::enabled:
        return "Opens automatically when you log in.";
    case LoginItemService::requiresApproval:
        return "Allow Snagreel in Login Items in system settings.";
    case LoginItemService::notFound:
        return "The autostart entry points to a program that no longer exists.";
    default:
        return "Launch-at-login status is unavailable.";
    }
}

} // namespace snagreel::app
