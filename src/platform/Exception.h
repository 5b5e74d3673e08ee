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

// A file that cannot be opened or read (a picture of the download window, say).
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be created (the local file of a download, say).
class EFCreateError : public Exception {
public:
    using Exception::Exception;
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
