// The one error convention of the sensor library and the programs above it: a value, or an
// error that says what kind of failure it was and, in words for the operator, why. Callers
// decide by the kind; the message is only ever shown.
#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace zurid::sensors {

enum class ErrorKind {
    None,          // no error
    Timeout,       // the sensor did not answer in time (the line is there, the sensor silent)
    WrongReply,    // bytes came back, but not the reply the request asks for
    Unsteady,      // two reads of a block differ: nothing was written
    NotKept,       // written, but the sensor holds something else
    Gone,          // the port failed or went away (a pulled plug, a hang-up)
    Busy,          // another program, job or change holds the port
    Unavailable,   // not ready for it now (starting, too much waiting): try again later
    NotPermitted,  // no right to the device, a file or the operation (a wrong token)
    NoCredentials, // a write without a token
    LockedOut,     // refused for a while after too many wrong tokens
    Invalid,       // a request or argument that is not understood: nothing was sent
    Refused,       // a value that is not allowed: nothing was sent
    NotFound,      // no such port, sensor, backup or file
    Io,            // a file or the system failed
    Unrecorded,    // the journal cannot take the record: nothing was written to the sensor
};

// Each kind's code, as the API's errors, MQTT answers and journal records name it
// ("sensor_timeout", "busy", ...).
QString KindCode(ErrorKind kind);

struct Error {
    ErrorKind kind = ErrorKind::None;
    QString message; // empty when kind is None

    bool ok() const { return kind == ErrorKind::None; }
};

// `E` is Error, or a type derived from it that says more (zurid serve's answers).
template <class T, class E = Error> class Result {
  public:
    Result(T value) : value_(std::move(value)) {} // NOLINT: a value converts implicitly
    Result(E error) : error_(std::move(error)) {} // NOLINT: so does an error
    static Result failure(ErrorKind kind, QString message) {
        E e;
        e.kind = kind;
        e.message = std::move(message);
        return Result(std::move(e));
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
    const QString& error() const { return error_.message; }
    ErrorKind kind() const { return error_.kind; }
    const E& failed() const { return error_; }

  private:
    std::optional<T> value_;
    E error_;
};

// A result without a value: success, or the error.
class Status {
  public:
    Status() = default;
    Status(Error e) : error_(std::move(e)) {} // NOLINT: an error converts implicitly
    static Status failure(ErrorKind kind, QString message) {
        return Status(Error{kind, std::move(message)});
    }

    bool ok() const { return error_.ok(); }
    explicit operator bool() const { return ok(); }
    const QString& error() const { return error_.message; }
    ErrorKind kind() const { return error_.kind; }
    const Error& failed() const { return error_; }

  private:
    Error error_;
};

} // namespace zurid::sensors
