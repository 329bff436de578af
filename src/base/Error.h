#pragma once

#include <QString>

#include <cstdint>
#include <stdexcept>

namespace varnelo {

// The program's one error type: a number and a description a person can act on.
// Thrown where something fails and caught by the nearest handler, which shows
// and logs both.
class Error : public std::runtime_error {
public:
    Error(std::int32_t number, const QString& description)
        : std::runtime_error(description.toStdString())
        , number_(number)
        , description_(description)
    {
    }

    std::int32_t number() const noexcept { return number_; }
    const QString& description() const noexcept { return description_; }

private:
    std::int32_t number_;
    QString description_;
};

// Classic numbers for failures of the platform itself.
namespace ErrNo {
constexpr std::int32_t Overflow = 6;
constexpr std::int32_t TypeMismatch = 13;
constexpr std::int32_t BadFileName = 52;
constexpr std::int32_t FileNotFound = 53;
constexpr std::int32_t DeviceUnavailable = 68;
constexpr std::int32_t DiskNotReady = 71;
constexpr std::int32_t PathFileAccess = 75;
constexpr std::int32_t PathNotFound = 76;
}  // namespace ErrNo

}  // namespace varnelo
