#pragma once

#include "import/RunView.h"

#include <QPair>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace varnelo {

class DcmImageList;

// One import run: the folder scan or the DICOMDIR walk, each image handed to
// the per-image transfer. Runs on the window thread and yields to it at fixed
// points; the run state is read and changed between yields.
class ImportRun {
public:
    // newPatientId is read at each image (the "New Patient ID:" box).
    ImportRun(RunView& view, FailurePrompt& prompt, std::function<QString()> newPatientId);
    ~ImportRun();

    bool AbortRequested = false;
    std::int32_t ImportedCount = 0;

    // The whole run, as the progress window's timer starts it. Shows the
    // summary when the walk calls for one.
    void Run();

    void ReadCdDirectory(const QString& folder, bool withSubDirs);
    void SearchForDicomDir(const QString& folder);
    void ReadDicomDir();

    enum class Mode { Scan,
                      DicomDir };

    // Per walk invocation: one image list, the destination under way and the
    // status of the last send.
    struct Invocation;

    void TransferImage(const QString& path, Mode mode, Invocation& inv);

    static QString summaryText(std::int32_t count);

private:
    void readFolder(const QString& folder, bool withSubDirs);
    QString resolveFolder(const QString& folder) const;
    bool staysInside(const QString& path);

    RunView& view_;
    FailurePrompt& prompt_;
    std::function<QString()> newPatientId_;
    QSet<QString> visited_;  // canonical folders of this run; a link loop ends here
    QString scanRoot_;       // real path of the scan's start folder
    // Files of this run by device and inode: a file reached twice (a link, two
    // records naming it) is sent once.
    QSet<QPair<quint64, quint64>> taken_;
};

// The file's path under base for the Referenced File ID components. Empty
// components are left out. A component that would leave base (".." ".",
// absolute, or holding a separator) throws. When no file has the exact name,
// each component is looked up again without regard to case.
QString referencedFilePath(const QString& base, const QStringList& components);

// True when the name's last characters equal suffix, compared in upper case.
bool suffixMatches(const QString& fileName, const QString& suffix);

}  // namespace varnelo
