#pragma once

#include <QString>
#include <exception>

// A run-time error of the monitor: carries the description text that the routine with the
// error handler writes to the event log.
class RuntimeError : public std::exception {
  public:
    explicit RuntimeError(QString description)
        : description_(std::move(description)), utf8_(description_.toUtf8()) {}

    const QString& description() const noexcept { return description_; }
    const char* what() const noexcept override { return utf8_.constData(); }

  private:
    QString description_;
    QByteArray utf8_;
};
