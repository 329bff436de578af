#include "base/Convert.h"

#include "base/Error.h"

#include <QRegularExpression>

#include <cfenv>
#include <cmath>
#include <limits>

namespace varnelo {

namespace {

double toNumber(const QString& text)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    const QString t = text.trimmed();
    if (!number.match(t).hasMatch())
        throw Error(ErrNo::TypeMismatch, QStringLiteral("Type mismatch"));
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        throw Error(ErrNo::Overflow, QStringLiteral("Overflow"));
    return v;
}

template <typename T>
T toInteger(const QString& text)
{
    const double v = toNumber(text);
    // nearbyint rounds halves to even in the default rounding mode
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(v);
    if (r < static_cast<double>(std::numeric_limits<T>::min()) || r > static_cast<double>(std::numeric_limits<T>::max()))
        throw Error(ErrNo::Overflow, QStringLiteral("Overflow"));
    return static_cast<T>(r);
}

}  // namespace

std::int16_t toInt16(const QString& text)
{
    return toInteger<std::int16_t>(text);
}

std::int32_t toInt32(const QString& text)
{
    return toInteger<std::int32_t>(text);
}

bool toFlag(const QString& text)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    return toNumber(t) != 0.0;
}

}  // namespace varnelo
