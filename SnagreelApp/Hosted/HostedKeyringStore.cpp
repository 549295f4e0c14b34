#include "SnagreelApp/Hosted/HostedKeyringStore.hpp"

#include "SnagreelApp/Hosted/HostedErrors.hpp"

// libsecret's headers use "signals" as an identifier, which Qt defines as a macro.
#undef signals
#include <libsecret/secret.h>

#include <memory>

namespace snagreel::app {

namespace {

const SecretSchema* schema() {
    static const SecretSchema value = {HostedKeyringStore::kServiceLabel,
                                       SECRET_SCHEMA_NONE,
                                       {
                                           {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       },
                                       0,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr};
    return &value;
}

Error keyringError(GError* error) {
    const auto status = static_cast<std::int32_t>(error->code);
    g_error_free(error);
    return Error(HostedKeyringError{status});
}

} // namespace

Result<std::optional<HostedCredential>> HostedKeyringStore::load() {
    GError* error = nullptr;
    gchar* secret = secret_password_lookup_sync(schema(), nullptr, &error, "service", kServiceLabel,
                                                "account", origin_.c_str(), nullptr);
    if (error != nullptr) {
        return Unexpected{keyringError(error)};
    }
    if (secret == nullptr) {
        return std::optional<HostedCredential>();
    }
    const std::unique_ptr<gchar, void (*)(gchar*)> owned(secret, secret_password_free);
    auto credential = HostedCredential::fromJson(secret);
    if (!credential) {
        return Unexpected{Error(HostedKeyringError{HostedKeyringError::kDecodeStatus})};
    }
    return credential;
}

Result<void> HostedKeyringStore::save(const HostedCredential& credential) {
    const std::string json = credential.toJson();
    GError* error = nullptr;
    // Storing under the same attributes replaces the item: one slot per origin.
    secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, "Snagreel sign-in",
                               json.c_str(), nullptr, &error, "service", kServiceLabel, "account",
                               origin_.c_str(), nullptr);
    if (error != nullptr) {
        return Unexpected{keyringError(error)};
    }
    return {};
}

Result<void> HostedKeyringStore::remove() {
    GError* error = nullptr;
    // False without an error means there was nothing to remove: that is success too.
    secret_password_clear_sync(schema(), nullptr, &error, "service", kServiceLabel, "account",
                               origin_.c_str(), nullptr);
    if (error != nullptr) {
        return Unexpected{keyringError(error)};
    }
    return {};
}

} // namespace snagreel::app
