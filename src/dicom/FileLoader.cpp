#include "dicom/FileLoader.h"

#include <QFile>
#include <QFileInfo>

namespace varnelo::dicomimpl {

std::shared_ptr<DcmFileFormat> loadDicomFile(const QString& path)
{
    ensureInitialised();
    auto unreadable = [&](const QString& why) {
        fail(DicomErrc::FileUnreadable, QStringLiteral("Cannot read %1: %2").arg(path, why));
    };
    const QFileInfo info(path);
    if (!info.exists())
        unreadable(QStringLiteral("no such file"));
    if (!info.isFile())
        unreadable(QStringLiteral("not a file"));
    if (!info.isReadable())
        unreadable(QStringLiteral("no permission to read it"));
    if (info.size() == 0)
        unreadable(QStringLiteral("the file is empty"));

    auto file = std::make_shared<DcmFileFormat>();
    const QByteArray name = QFile::encodeName(path);
    OFCondition cond = file->loadFile(OFFilename(name.constData()), EXS_Unknown, EGL_noChange,
                                      DCM_MaxReadLength, ERM_autoDetect);
    if (cond.good())
        cond = file->loadAllDataIntoMemory();
    if (cond.bad())
        unreadable(QStringLiteral("not a DICOM file or damaged (%1)").arg(conditionText(cond)));
    if (file->getDataset()->card() == 0)
        unreadable(QStringLiteral("it holds no DICOM data"));
    return file;
}

} // namespace varnelo::dicomimpl
