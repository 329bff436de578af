#include "import/IdentityValues.h"

#include <QCoreApplication>
#include <QDate>

namespace varnelo {

namespace {

struct Identity {
    Q_DECLARE_TR_FUNCTIONS(IdentityValues)
};

// Characters, not UTF-16 units: a name in a CJK script may use surrogate pairs.
qsizetype characters(const QString& text)
{
    return static_cast<qsizetype>(text.toUcs4().size());
}

void checkHidden(const QString& field, const QString& value, QList<IdentityProblem>& out)
{
    for (const char32_t c : value.toUcs4())
        if (isHiddenCharacter(c)) {
            out.append({field, Identity::tr("holds an invisible or control character (U+%1)")
                                   .arg(QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, QLatin1Char('0')))});
            return;
        }
}

void checkOneValue(const QString& field, const QString& value, QList<IdentityProblem>& out)
{
    if (value.contains(QLatin1Char('\\')))
        out.append({field, Identity::tr("holds a backslash, which would split it into two values")});
}

void checkLong(const QString& field, const QString& value, QList<IdentityProblem>& out)
{
    checkOneValue(field, value, out);
    checkHidden(field, value, out);
    if (characters(value) > 64)
        out.append({field, Identity::tr("is longer than 64 characters")});
}

}  // namespace

bool isHiddenCharacter(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

QList<IdentityProblem> identityProblems(const DcmPatient& identity)
{
    QList<IdentityProblem> out;
    checkLong(Identity::tr("Patient ID"), identity.PatientID, out);
    checkLong(Identity::tr("Issuer of Patient ID"), identity.IssuerOfPatientID, out);
    checkLong(Identity::tr("Issuer's universal ID"), identity.IssuerQualifiers.UniversalEntityID, out);
    checkLong(Identity::tr("Issuer's universal ID type"), identity.IssuerQualifiers.UniversalEntityIDType, out);
    checkLong(Identity::tr("Issuer's identifier type"), identity.IssuerQualifiers.IdentifierTypeCode, out);

    const QString name = Identity::tr("Patient's name");
    checkOneValue(name, identity.PatientName, out);
    checkHidden(name, identity.PatientName, out);
    const QStringList groups = identity.PatientName.split(QLatin1Char('='));
    if (groups.size() > 3)
        out.append({name, Identity::tr("has more than three parts separated by \"=\"")});
    for (const QString& group : groups)
        if (characters(group) > 64) {
            out.append({name, Identity::tr("is longer than 64 characters")});
            break;
        }

    const QString& born = identity.BirthDate;
    if (!born.isEmpty()) {
        bool digits = born.size() == 8;
        for (QChar c : born)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        if (!digits || !QDate::fromString(born, QStringLiteral("yyyyMMdd")).isValid())
            out.append({Identity::tr("Birth date"), Identity::tr("\"%1\" is not a date (year, month and day as 8 digits)").arg(born)});
    }
    const QString& sex = identity.Sex;
    if (!sex.isEmpty() && sex != QLatin1String("M") && sex != QLatin1String("F") && sex != QLatin1String("O"))
        out.append({Identity::tr("Sex"), Identity::tr("\"%1\" is none of M, F and O").arg(sex)});
    return out;
}

QString describeProblems(const QList<IdentityProblem>& problems)
{
    QStringList lines;
    for (const IdentityProblem& p : problems)
        lines << Identity::tr("%1: %2").arg(p.field, p.reason);
    return lines.join(QLatin1Char('\n'));
}

}  // namespace varnelo
