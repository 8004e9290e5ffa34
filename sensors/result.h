// The one error convention of the sensor library: a value, or the message that says why not.
#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace zurid::sensors {

template <class T> class Result {
  public:
    Result(T value) : value_(std::move(value)) {} // NOLINT: a value converts implicitly
    static Result failure(QString message) {
        Result r;
        r.error_ = std::move(message);
        return r;
    }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    // Empty when ok.
    const QString& error() const { return error_; }

  private:
    Result() = default;
    std::optional<T> value_;
    QString error_;
};

// A result without a value: success, or the message.
struct Status {
    QString error; // empty on success
    bool ok() const { return error.isEmpty(); }
    explicit operator bool() const { return ok(); }
    static Status failure(QString message) { return {std::move(message)}; }
};

} // namespace zurid::sensors
