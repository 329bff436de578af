// The conversion of worklist answers to UTF-8. The first byte picks the
// Specific Character Set (a list of what providers send, ISO 2022 code
// extensions among them, and one taken from the input itself); the rest is
// the value. The result must be UTF-8, and the ISO 2022 Japanese reader
// must read what iconv reads.
#include "dicom/Probes.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
const char* const kCharsets[] = {
    "ISO_IR 100", "ISO_IR 192", "ISO_IR 144", "GB18030", "GBK",
    "\\ISO 2022 IR 87", "\\ISO 2022 IR 159", "\\ISO 2022 IR 87\\ISO 2022 IR 159",
    "ISO 2022 IR 13\\ISO 2022 IR 87", "ISO_IR 13", "\\ISO 2022 IR 149", "\\ISO 2022 IR 58",
    "ISO 2022 IR 6\\ISO 2022 IR 100", "ISO 2022 IR 100\\ISO 2022 IR 126", "ISO_IR 999", "",
};
constexpr int kCount = sizeof kCharsets / sizeof kCharsets[0];
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    QByteArray charset;
    QByteArray value(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    if (data[0] % (kCount + 1) == kCount) {
        // the set from the input: up to the first NUL
        const qsizetype nul = value.indexOf('\0');
        charset = nul < 0 ? value : value.left(nul);
        value = nul < 0 ? QByteArray() : value.mid(nul + 1);
    } else {
        charset = kCharsets[data[0] % (kCount + 1)];
    }
    const QString why = varnelo::dicomimpl::characterSetProbe(charset, value);
    if (!why.isEmpty()) {
        std::fprintf(stderr, "character set \"%s\": %s\n", charset.constData(), qPrintable(why));
        std::abort();
    }
    return 0;
}
