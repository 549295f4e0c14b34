#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

namespace snagreel {

// Carrier for the error side of an Expected, so that `return Unexpected{error};`
// reads the same whether the value type is void or not.
template <typename E> struct Unexpected { E error; };
template <typename E> Unexpected(E) -> Unexpected<E>;

// A value or an error. The library's fallible operations return this instead of
// throwing, so that nothing escapes a module's API as an exception.
template <typename T, typename E> class Expected {
public:
    Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
    template <typename G>
    Expected(Unexpected<G> failure) : storage_(std::in_place_index<1>, std::move(failure.error)) {}

    bool hasValue() const { return storage_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() & {
        assert(hasValue());
        return std::get<0>(storage_);
    }
    const T& value() const& {
        assert(hasValue());
        return std::get<0>(storage_);
    }
    T&& value() && {
        assert(hasValue());
        return std::get<0>(std::move(storage_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const& {
        assert(!hasValue());
        return std::get<1>(storage_);
    }
    E&& error() && {
        assert(!hasValue());
        return std::get<1>(std::move(storage_));
    }

private:
    std::variant<T, E> storage_;
};

template <typename E> class Expected<void, E> {
public:
    Expected() = default;
    template <typename G> Expected(Unexpected<G> failure) : error_(std::move(failure.error)) {}

    bool hasValue() const { return !error_.has_value(); }
    explicit operator bool() const { return hasValue(); }
    void value() const { assert(hasValue()); }

    const E& error() const& {
        assert(!hasValue());
        return *error_;
    }
    E&& error() && {
        assert(!hasValue());
        return std::move(*error_);
    }

private:
    std::optional<E> error_;
};

} // namespace snagreel
