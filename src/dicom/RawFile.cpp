#include "dicom/RawFile.h"

#include "dicom/DicomPrivate.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include <unistd.h>

namespace varnelo::dicomimpl {

namespace {

constexpr std::uint32_t kUndefined = 0xFFFFFFFFu;
constexpr int kMaxDepth = 16;
constexpr qint64 kWindow = 64 * 1024;
constexpr qint64 kLongestValue = 1024;  // of the values picked out
constexpr std::uint32_t kRootRecord = 0x00041200u;
constexpr std::uint32_t kRecordSequence = 0x00041220u;
constexpr std::uint32_t kNextRecord = 0x00041400u;
constexpr std::uint32_t kLowerRecord = 0x00041420u;
constexpr std::uint32_t kReferencedFileId = 0x00041500u;

std::uint16_t u16(const unsigned char* b) { return static_cast<std::uint16_t>(b[0] | (b[1] << 8)); }
std::uint32_t u32(const unsigned char* b)
{
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
        (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

constexpr std::uint16_t vr(char a, char b) { return static_cast<std::uint16_t>((a << 8) | b); }

// 0: not a value representation this walk knows; 1: 16-bit length; 2: 32-bit length after two reserved bytes
int lengthKind(std::uint16_t v)
{
    switch (v) {
    case vr('A', 'E'):
    case vr('A', 'S'):
    case vr('A', 'T'):
    case vr('C', 'S'):
    case vr('D', 'A'):
    case vr('D', 'S'):
    case vr('D', 'T'):
    case vr('F', 'L'):
    case vr('F', 'D'):
    case vr('I', 'S'):
    case vr('L', 'O'):
    case vr('L', 'T'):
    case vr('P', 'N'):
    case vr('S', 'H'):
    case vr('S', 'L'):
    case vr('S', 'S'):
    case vr('S', 'T'):
    case vr('T', 'M'):
    case vr('U', 'I'):
    case vr('U', 'L'):
    case vr('U', 'S'):
        return 1;
    case vr('O', 'B'):
    case vr('O', 'D'):
    case vr('O', 'F'):
    case vr('O', 'L'):
    case vr('O', 'W'):
    case vr('S', 'Q'):
    case vr('U', 'C'):
    case vr('U', 'N'):
    case vr('U', 'R'):
    case vr('U', 'T'):
        return 2;
    default:
        return 0;
    }
}

// The value representation DCMTK's dictionary gives a tag; for a private
// tag, the one its creator's entry gives. Implicit VR data sets do not say,
// and an explicit "UN" DCMTK turns into this one when it knows the tag.
DcmEVR dictionaryVr(std::uint16_t group, std::uint16_t element, const QByteArray& creator)
{
    if (group % 2 == 0 || creator.isEmpty()) {
        thread_local std::unordered_map<std::uint32_t, DcmEVR> known;
        const std::uint32_t key = (static_cast<std::uint32_t>(group) << 16) | element;
        auto it = known.find(key);
        if (it != known.end())
            return it->second;
        const DcmEVR vr = DcmTag(group, element).getEVR();
        known.emplace(key, vr);
        return vr;
    }
    thread_local std::unordered_map<std::string, DcmEVR> known;
    std::string key(reinterpret_cast<const char*>(&group), 2);
    key.append(reinterpret_cast<const char*>(&element), 2);
    key.append(creator.constData(), static_cast<size_t>(creator.size()));
    auto it = known.find(key);
    if (it != known.end())
        return it->second;
    const DcmEVR vr = DcmTag(DcmTagKey(group, element), creator.constData()).getEVR();
    known.emplace(std::move(key), vr);
    return vr;
}

bool unknownVr(DcmEVR vr)
{
    return vr == EVR_UNKNOWN || vr == EVR_UN || vr == EVR_UNKNOWN2B;
}

class Reader {
public:
    explicit Reader(const RawSource& s)
        : s_(s)
    {
    }
    qint64 size() const { return s_.size; }

    // n bytes at offset; false when they lie beyond the end or cannot be read
    bool get(qint64 offset, qint64 n, unsigned char* out)
    {
        if (offset < 0 || n < 0 || offset > s_.size - n)
            return false;
        if (s_.data) {
            std::memcpy(out, s_.data + offset, static_cast<size_t>(n));
            return true;
        }
        if (offset >= start_ && offset + n <= start_ + length_) {
            std::memcpy(out, window_.data() + (offset - start_), static_cast<size_t>(n));
            return true;
        }
        if (n > kWindow)
            return readAt(offset, n, out);
        window_.resize(static_cast<size_t>(kWindow));
        start_ = offset;
        length_ = std::min(kWindow, s_.size - offset);
        if (!readAt(start_, length_, window_.data())) {
            length_ = 0;
            return false;
        }
        std::memcpy(out, window_.data(), static_cast<size_t>(n));
        return true;
    }

private:
    bool readAt(qint64 offset, qint64 n, unsigned char* out) const
    {
        qint64 done = 0;
        while (done < n) {
            const ssize_t got = ::pread(s_.fd, out + done, static_cast<size_t>(n - done), offset + done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += got;
        }
        return true;
    }

    RawSource s_;
    std::vector<unsigned char> window_;
    qint64 start_ = 0, length_ = 0;
};

class Walk {
public:
    Walk(Reader& r, bool explicitVr, bool encapsulated, RawDicom& out)
        : r_(r)
        , explicit_(explicitVr)
        , encapsulated_(encapsulated)
        , out_(out)
    {
    }

    // A data set from pos to end, or up to its item delimiter when end is
    // undefined (-1); `stop` is where it ended.
    bool dataset(qint64 pos, qint64 end, int depth, bool top, qint64& stop, RawDirRecord* record = nullptr)
    {
        std::uint32_t last = 0;
        bool first = true;
        std::uint16_t creatorGroup = 0;
        std::vector<std::pair<std::uint16_t, QByteArray>> creators;  // of creatorGroup, by block
        for (;;) {
            if (end >= 0 && pos == end) {
                stop = pos;
                return !first || !top;  // an empty file holds no data
            }
            unsigned char h[12];
            if (!r_.get(pos, 8, h) || (end >= 0 && pos + 8 > end))
                return false;
            const std::uint16_t group = u16(h), element = u16(h + 2);
            if (group == 0xFFFE) {
                // only the end of an item of undefined length
                if (end < 0 && element == 0xE00D && u32(h + 4) == 0) {
                    stop = pos + 8;
                    return true;
                }
                return false;
            }
            const std::uint32_t key = (static_cast<std::uint32_t>(group) << 16) | element;
            if (key == 0xFFFCFFFCu && top && !first)
                return trailingPadding(pos, h, end, stop);
            // 0200 is 0002 swapped: DCMTK takes it for more meta information
            if ((!first && key <= last) || group == 0x0002 || group == 0x0200 || element == 0x0000 || group == 0xFFFC)
                return false;
            first = false;
            last = key;
            if (top)
                ++out_.elements;
            if (group != creatorGroup) {
                creatorGroup = group;
                creators.clear();
            }
            const bool isPrivate = group % 2 == 1;
            const bool isCreator = isPrivate && element >= 0x0010 && element <= 0x00FF;
            // a private tag's meaning comes from its creator, which comes first
            auto creatorOf = [&]() -> QByteArray {
                if (!isPrivate || element < 0x1000)
                    return QByteArray();
                for (const auto& [block, name] : creators)
                    if (block == (element >> 8))
                        return name;
                return QByteArray();
            };

            std::uint32_t length = 0;
            qint64 header = 8;
            bool sequence = false;
            std::uint16_t v = 0;
            if (explicit_) {
                v = vr(static_cast<char>(h[4]), static_cast<char>(h[5]));
                const int kind = lengthKind(v);
                if (kind == 0)
                    return false;
                if (kind == 1) {
                    length = u16(h + 6);
                } else {
                    if (!r_.get(pos + 8, 4, h + 8))
                        return false;
                    length = u32(h + 8);
                    header = 12;
                }
                sequence = v == vr('S', 'Q');
                // DCMTK reads an "UN" that its dictionary knows as that VR:
                // what the walk takes for bytes, it may take for a sequence
                if (v == vr('U', 'N') && !unknownVr(dictionaryVr(group, element, creatorOf())))
                    return false;
            } else {
                length = u32(h + 4);
                const DcmEVR known = isCreator ? EVR_LO : dictionaryVr(group, element, creatorOf());
                sequence = known == EVR_SQ;
                // An undefined length is a sequence's only for what may be one:
                // DCMTK calls it corrupt on a text or a number
                if (length == kUndefined && !sequence) {
                    if (!unknownVr(known))
                        return false;
                    sequence = true;
                }
            }
            if (isCreator)
                creators.emplace_back(element, creatorValue(pos + header, length));
            const qint64 value = pos + header;
            const bool pixelData = key == 0x7FE00010u;
            if (length == kUndefined) {
                qint64 next = 0;
                if (sequence) {
                    if (top && key == kRecordSequence && dir_)
                        dir_->hasRecordSequence = true;
                    if (!items(value, -1, depth + 1, next, top && key == kRecordSequence))
                        return false;
                } else if (pixelData && top && encapsulated_ && (v == vr('O', 'B') || v == vr('O', 'W'))) {
                    if (!fragments(value, next))
                        return false;
                } else {
                    return false;
                }
                pos = next;
                continue;
            }
            const qint64 limit = end >= 0 ? end : r_.size();
            if ((length & 1) != 0 || value + length > limit || (pixelData && top && encapsulated_))
                return false;
            if (sequence) {
                qint64 next = 0;
                if (top && key == kRecordSequence && dir_)
                    dir_->hasRecordSequence = true;
                if (!items(value, value + length, depth + 1, next, top && key == kRecordSequence))
                    return false;
            } else if (top && !pick(key, value, length, v)) {
                return false;
            } else if (record && !pickForRecord(*record, key, value, length)) {
                return false;
            }
            pos = value + length;
        }
    }

private:
    // Data Set Trailing Padding at pos: an OB (or, implicitly, any value) of
    // defined length that ends the file. The data set ends before it.
    bool trailingPadding(qint64 pos, unsigned char* h, qint64 end, qint64& stop)
    {
        std::uint32_t length = u32(h + 4);
        qint64 header = 8;
        if (explicit_) {
            if (vr(static_cast<char>(h[4]), static_cast<char>(h[5])) != vr('O', 'B') || u16(h + 6) != 0 ||
                !r_.get(pos + 8, 4, h + 8))
                return false;
            length = u32(h + 8);
            header = 12;
        }
        if (end < 0 || length == kUndefined || pos + header + length != end)
            return false;
        out_.datasetEnd = pos;
        stop = end;
        return true;
    }

    // The items of a sequence, up to end or to its delimiter when end is -1.
    // records: the items are a DICOMDIR's directory records, to be noted
    bool items(qint64 pos, qint64 end, int depth, qint64& stop, bool records = false)
    {
        if (depth > kMaxDepth)
            return false;
        for (;;) {
            if (end >= 0 && pos == end) {
                stop = pos;
                return true;
            }
            unsigned char h[8];
            if (!r_.get(pos, 8, h) || (end >= 0 && pos + 8 > end) || u16(h) != 0xFFFE)
                return false;
            const std::uint16_t element = u16(h + 2);
            const std::uint32_t length = u32(h + 4);
            if (element == 0xE0DD && end < 0 && length == 0) {
                stop = pos + 8;
                return true;
            }
            if (element != 0xE000)
                return false;
            qint64 next = 0;
            RawDirRecord record;
            RawDirRecord* noted = records && dir_ ? &record : nullptr;
            if (length == kUndefined) {
                if (!dataset(pos + 8, -1, depth, false, next, noted))
                    return false;
            } else {
                const qint64 limit = end >= 0 ? end : r_.size();
                if ((length & 1) != 0 || pos + 8 + length > limit ||
                    !dataset(pos + 8, pos + 8 + length, depth, false, next, noted))
                    return false;
            }
            if (noted) {
                record.offset = static_cast<std::uint32_t>(pos);
                record.item = pos;
                record.end = next;
                dir_->records.push_back(std::move(record));
            }
            pos = next;
        }
    }

    // Encapsulated pixel data: the offset table and the fragments, each an
    // item of even, defined length, then the sequence delimiter.
    bool fragments(qint64 pos, qint64& stop)
    {
        int count = 0;
        for (;;) {
            unsigned char h[8];
            if (!r_.get(pos, 8, h) || u16(h) != 0xFFFE)
                return false;
            const std::uint16_t element = u16(h + 2);
            const std::uint32_t length = u32(h + 4);
            if (element == 0xE0DD) {
                stop = pos + 8;
                return length == 0 && count > 0;
            }
            if (element != 0xE000 || length == kUndefined || (length & 1) != 0 || pos + 8 + length > r_.size())
                return false;
            pos += 8 + length;
            ++count;
        }
    }

    std::uint32_t ul(qint64 value, std::uint32_t length, bool& ok)
    {
        unsigned char b[4];
        ok = length == 4 && r_.get(value, 4, b);
        return ok ? u32(b) : 0;
    }

    // The links and the file of a directory record, as its own elements say.
    bool pickForRecord(RawDirRecord& record, std::uint32_t key, qint64 value, std::uint32_t length)
    {
        bool ok = true;
        switch (key) {
        case kNextRecord:
            record.next = ul(value, length, ok);
            return ok;
        case kLowerRecord:
            record.lower = ul(value, length, ok);
            return ok;
        case kReferencedFileId:
            if (length > kLongestValue)
                return false;
            record.fileId = QByteArray(static_cast<qsizetype>(length), Qt::Uninitialized);
            record.hasFileId = r_.get(value, length, reinterpret_cast<unsigned char*>(record.fileId.data()));
            return record.hasFileId;
        default:
            return true;
        }
    }

    // A private creator's value as DCMTK looks it up: the first value, without padding.
    QByteArray creatorValue(qint64 at, std::uint32_t length)
    {
        if (length == kUndefined || length > 64)
            return QByteArray();
        QByteArray bytes(static_cast<qsizetype>(length), Qt::Uninitialized);
        if (!r_.get(at, length, reinterpret_cast<unsigned char*>(bytes.data())))
            return QByteArray();
        const qsizetype backslash = bytes.indexOf('\\');
        if (backslash >= 0)
            bytes.truncate(backslash);
        return bytes.trimmed();
    }

    // v: the element's VR in explicit VR, 0 in implicit
    bool pick(std::uint32_t key, qint64 value, std::uint32_t length, std::uint16_t v)
    {
        QByteArray* into = nullptr;
        if (dir_ && key == kRootRecord) {
            bool ok = true;
            dir_->rootOffset = ul(value, length, ok);
            dir_->hasRoot = ok;
            return ok && (v == 0 || v == vr('U', 'L'));
        }
        std::uint16_t expected = vr('U', 'I');
        bool uid = true;
        switch (key) {
        case 0x00080005u:
            into = &out_.charset;
            expected = vr('C', 'S');
            uid = false;
            break;
        case 0x00080016u:
            into = &out_.sopClass;
            break;
        case 0x00080018u:
            into = &out_.sopInstance;
            break;
        case 0x00100020u:
            into = &out_.patientId;
            expected = vr('L', 'O');
            uid = false;
            break;
        case 0x0020000Du:
            into = &out_.studyUid;
            break;
        case 0x0020000Eu:
            into = &out_.seriesUid;
            break;
        default:
            return true;
        }
        // Another VR is read another way by DCMTK (UN as hex, say): its parse decides.
        if ((v != 0 && v != expected) || length > kLongestValue)
            return false;
        QByteArray bytes(static_cast<qsizetype>(length), Qt::Uninitialized);
        if (!r_.get(value, length, reinterpret_cast<unsigned char*>(bytes.data())))
            return false;
        // DCMTK drops the padding of a UID, NULs and blanks, but keeps a NUL
        // in any other text: such a value, and a UID of anything but digits
        // and dots (several values, blanks, control characters), are read
        // one way by this walk and another by DCMTK.
        if (!uid && bytes.contains('\0'))
            return false;
        while (!bytes.isEmpty() && (bytes.back() == ' ' || (uid && bytes.back() == '\0')))
            bytes.chop(1);
        if (uid)
            for (char c : bytes)
                if ((c < '0' || c > '9') && c != '.')
                    return false;
        // DCMTK trims the blanks around each of several values
        if (!uid && (bytes.contains(" \\") || bytes.contains("\\ ")))
            return false;
        *into = bytes;
        return true;
    }

public:
    RawDicomDir* dir_ = nullptr;  // set when walking a DICOMDIR

private:
    Reader& r_;
    bool explicit_;
    bool encapsulated_;
    RawDicom& out_;
};

}  // namespace

namespace {

std::optional<RawDicom> walkFile(const RawSource& source, RawDicomDir* dir)
{
    Reader r(source);
    RawDicom out;
    out.size = out.datasetEnd = source.size;
    unsigned char h[12];
    if (!r.get(128, 4, h) || std::memcmp(h, "DICM", 4) != 0)
        return std::nullopt;

    // The file meta information: explicit little endian, group 0002.
    qint64 pos = 132;
    qint64 claimedMetaEnd = -1;  // where (0002,0000) says the group ends
    std::uint16_t lastElement = 0;
    bool first = true;
    for (;;) {
        if (!r.get(pos, 8, h))
            return std::nullopt;
        if (u16(h) != 0x0002)
            break;
        const std::uint16_t element = u16(h + 2);
        if (!first && element <= lastElement)
            return std::nullopt;
        first = false;
        lastElement = element;
        const int kind = lengthKind(vr(static_cast<char>(h[4]), static_cast<char>(h[5])));
        // a sequence or any long VR but OB in the meta information is DCMTK's to read
        if (kind == 2 && vr(static_cast<char>(h[4]), static_cast<char>(h[5])) != vr('O', 'B'))
            return std::nullopt;
        std::uint32_t length = 0;
        qint64 header = 8;
        if (kind == 1) {
            length = u16(h + 6);
        } else if (kind == 2) {
            if (!r.get(pos + 8, 4, h + 8))
                return std::nullopt;
            length = u32(h + 8);
            header = 12;
        } else {
            return std::nullopt;
        }
        if (length == kUndefined || pos + header + length > r.size())
            return std::nullopt;
        const std::uint16_t v = vr(static_cast<char>(h[4]), static_cast<char>(h[5]));
        if (element == 0x0000) {
            // DCMTK reads as far as the group length says, even past the
            // group: only a length that matches the group is taken as read
            bool ok = v == vr('U', 'L') && length == 4 && r.get(pos + header, 4, h + 8);
            if (!ok)
                return std::nullopt;
            claimedMetaEnd = pos + header + 4 + u32(h + 8);
        }
        if (element == 0x0010) {
            if (length > 64 || v != vr('U', 'I'))
                return std::nullopt;
            char uid[64];
            if (!r.get(pos + header, length, reinterpret_cast<unsigned char*>(uid)))
                return std::nullopt;
            std::string ts(uid, length);
            while (!ts.empty() && (ts.back() == '\0' || ts.back() == ' '))
                ts.pop_back();
            // digits and dots only: a NUL or blank inside is read differently by DCMTK
            if (ts.empty() || ts.find_first_not_of("0123456789.") != std::string::npos)
                return std::nullopt;
            out.transferSyntax = ts;
        }
        pos += header + length;
    }
    if (claimedMetaEnd >= 0 && claimedMetaEnd != pos)
        return std::nullopt;
    out.datasetOffset = pos;

    bool explicitVr = true, encapsulated = false;
    if (out.transferSyntax == UID_LittleEndianImplicitTransferSyntax) {
        explicitVr = false;
    } else if (out.transferSyntax != UID_LittleEndianExplicitTransferSyntax) {
        const DcmXfer xfer(out.transferSyntax.c_str());
        if (xfer.getXfer() == EXS_Unknown || !xfer.isEncapsulated() || !xfer.isExplicitVR() ||
            xfer.getByteOrder() != EBO_LittleEndian || xfer.getStreamCompression() != ESC_none)
            return std::nullopt;
        encapsulated = true;
    }
    Walk walk(r, explicitVr, encapsulated, out);
    walk.dir_ = dir;
    if (dir)
        dir->explicitVr = explicitVr;
    qint64 stop = 0;
    if (!walk.dataset(pos, source.size, 0, true, stop) || stop != source.size)
        return std::nullopt;
    return out;
}

}  // namespace

std::optional<RawDicom> scanDicom(const RawSource& source)
{
    return walkFile(source, nullptr);
}

std::optional<RawDicomDir> scanDicomDir(const QByteArray& bytes)
{
    RawDicomDir dir;
    const auto file = walkFile(RawSource {bytes.constData(), -1, bytes.size()}, &dir);
    if (!file || !file->sopClass.isEmpty())
        return std::nullopt;
    dir.transferSyntax = file->transferSyntax;
    dir.charset = file->charset;
    return dir;
}

QString walkDisagreement(const QByteArray& file)
{
    ensureInitialised();
    const auto walked = scanDicom(RawSource {file.constData(), -1, file.size()});
    if (!walked)
        return QString();
    DcmFileFormat format;
    OFCondition cond;
    try {
        cond = readFromBytes(format, file.constData(), static_cast<size_t>(file.size()), EXS_Unknown);
    } catch (const std::exception& e) {
        return QStringLiteral("DCMTK throws on a file the walk accepts: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    ::DcmDataset* ds = format.getDataset();
    if (cond.bad())
        return QStringLiteral("DCMTK cannot read a file the walk accepts: %1").arg(conditionText(cond));
    QStringList out;
    const char* xfer = DcmXfer(ds->getOriginalXfer()).getXferID();
    if (walked->transferSyntax != xfer)
        out << QStringLiteral("transfer syntax: walk %1, DCMTK %2")
                   .arg(QString::fromStdString(walked->transferSyntax), QLatin1String(xfer));
    // the walk leaves the trailing padding out, as the C-STORE does
    const unsigned long padding = ds->tagExists(DCM_DataSetTrailingPadding) ? 1 : 0;
    if (static_cast<unsigned long>(walked->elements) + padding != ds->card())
        out << QStringLiteral("top-level elements: walk %1, DCMTK %2").arg(walked->elements).arg(ds->card());
    if ((walked->datasetEnd < walked->size) != (padding == 1))
        out << QStringLiteral("trailing padding: walk %1, DCMTK %2")
                   .arg(walked->datasetEnd < walked->size ? QStringLiteral("found") : QStringLiteral("none"),
                        padding ? QStringLiteral("found") : QStringLiteral("none"));
    struct Value {
        DcmTagKey key;
        const QByteArray* walked;
        bool exact;  // goes into the C-STORE command as it is
    };
    const Value values[] = {{DCM_SpecificCharacterSet, &walked->charset, false},
                            {DCM_SOPClassUID, &walked->sopClass, true},
                            {DCM_SOPInstanceUID, &walked->sopInstance, true},
                            {DCM_PatientID, &walked->patientId, false},
                            {DCM_StudyInstanceUID, &walked->studyUid, false},
                            {DCM_SeriesInstanceUID, &walked->seriesUid, false}};
    for (const Value& v : values) {
        OFString all, first;
        ds->findAndGetOFStringArray(v.key, all, OFFalse);
        ds->findAndGetOFString(v.key, first, 0, OFFalse);
        const QString walkText = decodeText(v.walked->constData(), static_cast<size_t>(v.walked->size())).trimmed();
        const QString dcmtkText = decodeText(all.c_str(), all.length()).trimmed();
        if (walkText != dcmtkText || (v.exact && QByteArray(first.c_str(), static_cast<qsizetype>(first.length())) != *v.walked))
            out << QStringLiteral("%1: walk \"%2\", DCMTK \"%3\"")
                       .arg(describeTag(v.key), QString::fromLatin1(v.walked->toPercentEncoding()),
                            QString::fromLatin1(QByteArray(all.c_str(), static_cast<qsizetype>(all.length())).toPercentEncoding()));
    }
    return out.join(QStringLiteral("; "));
}

}  // namespace varnelo::dicomimpl
