// Text of received data sets turned into UTF-8 through their own Specific
// Character Set (0008,0005), so that the rest of the program reads one
// encoding whatever the peer sent.

#include "dicom/DicomPrivate.h"
#include "dicom/Probes.h"

#include <dcmtk/dcmdata/dcspchrs.h>
#include <dcmtk/ofstd/ofchrenc.h>

#include <QStringDecoder>

#include <map>
#include <optional>
#include <memory>
#include <string>

namespace varnelo::dicomimpl {

namespace {

bool plainAscii(const char* data, Uint32 length)
{
    for (Uint32 i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c >= 0x80 || c == 0x1B)
            return false;
    }
    return true;
}

bool validUtf8(const char* data, Uint32 length)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)utf8.decode(QByteArrayView(data, static_cast<qsizetype>(length)));
    return !utf8.hasError();
}

QString charsetValues(DcmItem& item)
{
    OFString value;
    if (item.findAndGetOFStringArray(DCM_SpecificCharacterSet, value, OFFalse).bad())
        return QString();
    return QString::fromLatin1(value.c_str()).trimmed();
}

// The Japanese character sets of ISO 2022 (JIS X 0201 and 0208, 0212), which
// the C library's iconv does not offer under DICOM's names: the escape
// sequences are followed here and the text recoded to EUC-JP, which iconv
// converts. `halfWidthKana` when the first value is ISO 2022 IR 13, which
// puts JIS X 0201 katakana into the upper half from the start.
bool decodeJapanese(const char* data, Uint32 length, bool halfWidthKana, OFString& utf8)
{
    enum class G0 { Ascii,
                    Jis0208,
                    Jis0212 } g0 = G0::Ascii;
    bool kana = halfWidthKana;
    std::string euc;
    euc.reserve(length * 2);
    for (Uint32 i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == 0x1B) {
            const std::string rest(data + i + 1, data + std::min<Uint32>(length, i + 4));
            if (rest.rfind("(B", 0) == 0 || rest.rfind("(J", 0) == 0) {
                g0 = G0::Ascii;
                i += 2;
            } else if (rest.rfind("$B", 0) == 0 || rest.rfind("$@", 0) == 0) {
                g0 = G0::Jis0208;
                i += 2;
            } else if (rest.rfind("$(D", 0) == 0) {
                g0 = G0::Jis0212;
                i += 3;
            } else if (rest.rfind(")I", 0) == 0) {
                kana = true;
                i += 2;
            } else {
                return false;
            }
        } else if (c == '\r' || c == '\n' || c == '\f' || c == '\t') {
            g0 = G0::Ascii;  // delimiters return to the initial set
            euc.push_back(static_cast<char>(c));
        } else if (c < 0x80) {
            // controls, the space and DEL stand for themselves in any set
            if (g0 == G0::Ascii || c <= 0x20 || c == 0x7F) {
                euc.push_back(static_cast<char>(c));
                continue;
            }
            if (i + 1 >= length)
                return false;
            const auto d = static_cast<unsigned char>(data[++i]);
            if (c < 0x21 || c > 0x7E || d < 0x21 || d > 0x7E)
                return false;
            if (g0 == G0::Jis0212)
                euc.push_back(static_cast<char>(0x8F));
            euc.push_back(static_cast<char>(c | 0x80));
            euc.push_back(static_cast<char>(d | 0x80));
        } else if (kana && c >= 0xA1 && c <= 0xDF) {
            euc.push_back(static_cast<char>(0x8E));
            euc.push_back(static_cast<char>(c));
        } else {
            return false;
        }
    }
    OFCharacterEncoding encoding;
    return encoding.selectEncoding("EUC-JP", "UTF-8").good() &&
        encoding.convertString(euc.data(), euc.size(), utf8).good();
}

class Converter {
public:
    explicit Converter(const QString& charset)
        : charset_(charset)
    {
        const QStringList values = charset.split(QLatin1Char('\\'));
        for (const QString& v : values) {
            const QString term = v.trimmed();
            if (term == QLatin1String("ISO 2022 IR 87") || term == QLatin1String("ISO 2022 IR 159") ||
                term == QLatin1String("ISO 2022 IR 13") || term == QLatin1String("ISO_IR 13"))
                japanese_ = true;
        }
        const QString first = values.front().trimmed();
        halfWidthKana_ = first == QLatin1String("ISO 2022 IR 13") || first == QLatin1String("ISO_IR 13");
        utf8_ = charset == QLatin1String("ISO_IR 192");
        if (!utf8_) {
            selected_ = converter_.selectCharacterSet(OFString(charset.toLatin1().constData()));
            // Debian's DCMTK converts with iconv, which lacks DICOM's
            // Japanese sets; those are decoded here instead.
            if (selected_.bad() && !japanese_)
                why_ = conditionText(selected_);
        }
    }

    // Converts one value in place; on failure keeps its bytes as Latin-1 and
    // says why.
    void convert(DcmElement& element, QStringList& notes)
    {
        char* data = nullptr;
        Uint32 length = 0;
        if (element.getString(data, length).bad() || !data || length == 0 || plainAscii(data, length))
            return;
        const std::string raw(data, length);
        QString why;
        if (utf8_) {
            if (validUtf8(data, length))
                return;
            why = QStringLiteral("not valid UTF-8");
        } else if (selected_.good()) {
            const OFCondition cond = element.convertCharacterSet(converter_);
            if (cond.good())
                return;
            why = conditionText(cond);
        } else if (japanese_) {
            OFString utf8;
            if (decodeJapanese(raw.data(), length, halfWidthKana_, utf8)) {
                element.putString(utf8.c_str(), static_cast<Uint32>(utf8.length()));
                return;
            }
            why = QStringLiteral("not valid ISO 2022 Japanese");
        } else {
            why = why_;
        }
        const QString latin1 = QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
        const QByteArray shown = latin1.toUtf8();
        element.putString(shown.constData(), static_cast<Uint32>(shown.size()));
        notes << QStringLiteral("The value of %1 cannot be converted from the character set \"%2\" (%3); shown as "
                                "Latin-1: %4")
                     .arg(describeTag(element.getTag()), charset_, why, latin1);
    }

private:
    QString charset_;
    DcmSpecificCharacterSet converter_;
    OFCondition selected_ = EC_Normal;
    QString why_;
    bool utf8_ = false;
    bool japanese_ = false;
    bool halfWidthKana_ = false;
};

}  // namespace

struct TextToUtf8::Impl {
    std::map<QString, std::unique_ptr<Converter>> converters;
};

TextToUtf8::TextToUtf8()
    : impl_(std::make_unique<Impl>())
{
}

TextToUtf8::~TextToUtf8() = default;

void TextToUtf8::convert(DcmItem& item, QStringList& notes)
{
    convertItem(item, QString(), notes);
}

void TextToUtf8::convertItem(DcmItem& item, const QString& inherited, QStringList& notes)
{
    // A sequence item may name a character set of its own.
    const QString own = charsetValues(item);
    const QString charset = own.isEmpty() ? inherited : own;
    Converter* converter = nullptr;
    if (!charset.isEmpty()) {
        std::unique_ptr<Converter>& slot = impl_->converters[charset];
        if (!slot)
            slot = std::make_unique<Converter>(charset);
        converter = slot.get();
    }
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* element = item.getElement(i);
        if (element->ident() == EVR_SQ) {
            auto* seq = static_cast<DcmSequenceOfItems*>(element);
            for (unsigned long j = 0; j < seq->card(); ++j)
                convertItem(*seq->getItem(j), charset, notes);
        } else if (converter && element->getTag() != DCM_SpecificCharacterSet &&
                   element->isAffectedBySpecificCharacterSet()) {
            converter->convert(*element, notes);
        }
    }
    if (!own.isEmpty())
        item.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
}

namespace {

// The value as iconv reads ISO-2022-JP (ASCII, JIS X 0208 and 0212), from
// its initial state again after each delimiter, as DICOM has it; nullopt
// when iconv refuses it.
std::optional<std::string> iconvJapanese(const QByteArray& value)
{
    OFCharacterEncoding encoding;
    // glibc has no ISO-2022-JP-1; its superset -2 reads the same escapes
    if (encoding.selectEncoding("ISO-2022-JP-2", "UTF-8").bad())
        return std::nullopt;
    std::string out;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= value.size(); ++i) {
        const bool end = i == value.size();
        if (!end && value[i] != '\r' && value[i] != '\n' && value[i] != '\f' && value[i] != '\t')
            continue;
        OFString part;
        if (i > start && encoding.convertString(value.constData() + start, static_cast<size_t>(i - start), part).bad())
            return std::nullopt;
        out.append(part.c_str(), part.length());
        if (!end)
            out.push_back(value[i]);
        start = i + 1;
    }
    return out;
}

}  // namespace

QString characterSetProbe(const QByteArray& charset, const QByteArray& value)
{
    ensureInitialised();
    ::DcmDataset ds;
    ds.putAndInsertString(DCM_SpecificCharacterSet, charset.constData(), static_cast<Uint32>(charset.size()));
    ds.putAndInsertString(DCM_PatientName, value.constData(), static_cast<Uint32>(value.size()));
    TextToUtf8 toUtf8;
    QStringList notes;
    toUtf8.convert(ds, notes);
    const char* data = nullptr;
    if (ds.findAndGetString(DCM_PatientName, data).bad())
        return QStringLiteral("the value is gone after the conversion");
    Uint32 length = 0;
    DcmElement* element = nullptr;
    ds.findAndGetElement(DCM_PatientName, element);
    char* converted = nullptr;
    if (element)
        element->getString(converted, length);
    if (length && converted && !validUtf8(converted, length))
        return QStringLiteral("the result is not valid UTF-8");

    // Our ISO 2022 Japanese reader against iconv, where both read the same
    // repertoire: no half-width katakana, no JIS X 0201 Roman (whose yen
    // and overline iconv maps apart from ASCII), one value.
    const QString sets = QString::fromLatin1(charset).trimmed();
    const bool japanese = sets == QLatin1String("\\ISO 2022 IR 87") || sets == QLatin1String("\\ISO 2022 IR 159") ||
        sets == QLatin1String("\\ISO 2022 IR 87\\ISO 2022 IR 159");
    bool comparable = japanese && !value.contains('\\');
    for (qsizetype i = 0; comparable && i < value.size(); ++i) {
        const char c = value[i];
        comparable = static_cast<unsigned char>(c) < 0x80 && c != '\0';
        // only the escapes both read; iconv's -2 knows Chinese and Korean too
        if (c == '\x1b') {
            const QByteArray rest = value.mid(i + 1, 3);
            comparable = rest.startsWith("(B") || rest.startsWith("$@") || rest.startsWith("$B") || rest.startsWith("$(D");
        }
    }
    if (!comparable)
        return QString();
    OFString ours;
    const bool oursRead = decodeJapanese(value.constData(), static_cast<Uint32>(value.size()), false, ours);
    const std::optional<std::string> theirs = iconvJapanese(value);
    if (oursRead && theirs && std::string(ours.c_str(), ours.length()) != *theirs)
        return QStringLiteral("read as \"%1\", iconv reads \"%2\"")
            .arg(QString::fromUtf8(ours.c_str(), static_cast<qsizetype>(ours.length())), QString::fromStdString(*theirs));
    if (oursRead != theirs.has_value())
        return oursRead ? QStringLiteral("read, while iconv refuses it") : QStringLiteral("refused, while iconv reads it");
    return QString();
}

}  // namespace varnelo::dicomimpl
