#pragma once

#include "SnagreelCore/Support/Expected.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace snagreel {

// The platform form of any error: a domain, a code within it and a sentence.
// Linux adapters build these for the failures they see (X11, FFmpeg, POSIX,
// D-Bus); classification into capture failure kinds goes by domain and code.
struct PlatformError {
    std::string domain;
    std::int64_t code = 0;
    std::string message;

    bool operator==(const PlatformError&) const = default;
};

inline constexpr const char* kCancellationDomain = "Snagreel.Cancellation";
inline constexpr const char* kPosixDomain = "NSPOSIXErrorDomain";

// Any error a library operation can fail with. It wraps one concrete error value
// (a PlatformError, a CaptureError, a CaptureFailure, ...) behind one interface so
// that callers can pass errors on unchanged and still read their platform form.
class Error {
public:
    class Payload {
    public:
        virtual ~Payload() = default;
        virtual PlatformError platformForm() const = 0;
        virtual const void* typeTag() const = 0;
    };

    Error(PlatformError platform);
    template <typename T>
    requires requires(const T& t) { t.platformForm(); }
    Error(T value) : payload_(std::make_shared<Holder<T>>(std::move(value))) {}

    static Error cancelled();
    static Error posix(int errnoValue, std::string message = {});

    bool isCancellation() const { return domain() == kCancellationDomain; }
    std::string domain() const { return payload_->platformForm().domain; }
    std::int64_t code() const { return payload_->platformForm().code; }
    // The localized description: one complete sentence shown to the user verbatim.
    std::string description() const { return payload_->platformForm().message; }
    PlatformError platformForm() const { return payload_->platformForm(); }

    // The wrapped value when it is a T, else null.
    template <typename T> const T* as() const {
        if (payload_->typeTag() != &Holder<T>::tag) {
            return nullptr;
        }
        return &static_cast<const Holder<T>*>(payload_.get())->value;
    }

private:
    template <typename T> struct Holder final : Payload {
        explicit Holder(T v) : value(std::move(v)) {}
        PlatformError platformForm() const override { return value.platformForm(); }
        const void* typeTag() const override { return &tag; }
        static inline const char tag = 0;
        T value;
    };
    struct PlatformHolder final : Payload {
        explicit PlatformHolder(PlatformError v) : value(std::move(v)) {}
        PlatformError platformForm() const override { return value; }
        const void* typeTag() const override { return &platformTag; }
        PlatformError value;
    };

    static inline const char platformTag = 0;
    std::shared_ptr<const Payload> payload_;
};

template <> inline const PlatformError* Error::as<PlatformError>() const {
    if (payload_->typeTag() != &platformTag) {
        return nullptr;
    }
    return &static_cast<const PlatformHolder*>(payload_.get())->value;
}

template <typename T> using Result = Expected<T, Error>;

// Completion handler of an asynchronous operation; called exactly once.
template <typename T> using Completion = std::function<void(Result<T>)>;

} // namespace snagreel
