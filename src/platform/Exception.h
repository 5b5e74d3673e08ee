#pragma once
// The framework's error class and its descendants that the platform itself raises. Every error
// that the program shows to the user or lets escape to the entry point is one of these.
#include <QString>
#include <stdexcept>

class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& message)
        : std::runtime_error(message.toStdString()), message_(message) {}
    const QString& message() const { return message_; }

private:
    QString message_;
};

// A file that cannot be opened, created or written. ErrorCode is the system's errno value when
// one is known (0 otherwise); the message then ends with its text.
class EStreamError : public Exception {
public:
    explicit EStreamError(const QString& message, int errorCode = 0)
        : Exception(message), errorCode_(errorCode) {}
    int ErrorCode() const { return errorCode_; }

private:
    int errorCode_;
};

// A file that cannot be opened or read (a picture of the download window, say).
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// A file that cannot be created (the local file of a download, say).
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// A write to an open file that failed (a full disk, a file-size limit).
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// A text that should have been a number and is not.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A failure reported by the database backend; the message is the driver's.
class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};
