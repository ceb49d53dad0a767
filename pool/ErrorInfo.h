#pragma once

#include <QString>
#include <QtGlobal>

#include <stdexcept>

namespace talkmere {

// What every failure carries, from a socket operation up to the pool's host.
struct ErrorInfo {
    qint32 number = 0;
    QString source;
    QString description;
};

// How a failure travels to a caller: the pool's methods (with RaiseErrors on) and the socket
// operations throw this, always with the failure's number, source and description unchanged.
class PoolError : public std::runtime_error {
public:
    explicit PoolError(ErrorInfo info)
        : std::runtime_error(info.description.toStdString()), info_(std::move(info)) {}
    PoolError(qint32 number, const QString& source, const QString& description)
        : PoolError(ErrorInfo{number, source, description}) {}

    const ErrorInfo& info() const noexcept { return info_; }

private:
    ErrorInfo info_;
};

} // namespace talkmere
