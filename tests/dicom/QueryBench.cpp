// What asking a PACS what it holds costs: FindStudy and FindInstances for a
// study of one series at Orthanc, timed beside DCMTK's findscu listing the
// same series in one query. Prints figures; asserts nothing.
//   dicom_query_bench [count] [chunk]
// count defaults to 2000 instances, chunk to 100 UIDs a query.

#include "dicom/Dicom.h"
#include "dicomnet/StudyQuery.h"
#include "dicom/testdata/TestData.h"
#include "support/Peers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace varnelo;
using varnelo::testsupport::Peer;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const int count = args.size() > 0 && args[0].toInt() > 0 ? args[0].toInt() : 2000;
    const int chunk = args.size() > 1 && args[1].toInt() > 0 ? args[1].toInt() : 100;

    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("images"));
    testdata::ImageRecipe recipe;
    recipe.rows = recipe.columns = 8;
    recipe.studyUid = DcmUtility::NewUID();
    recipe.seriesUid = DcmUtility::NewUID();
    std::printf("making %d small CT images of one series...\n", count);
    const QStringList files = testdata::makeSeries(folder, count, recipe);
    QStringList uids;
    for (const QString& f : files)
        uids << DcmUtility::ReadHeader(f).SOPInstanceUID;

    Peer::Options options;
    options.aeTitle = QStringLiteral("ORTHANC");
    options.allowFind = true;
    options.tcpNoDelay = true;
    auto orthanc = Peer::orthanc(options);
    std::printf("storing them at Orthanc 1.10...\n");
    QProcess storescu;
    storescu.setProcessChannelMode(QProcess::MergedChannels);
    storescu.start(testsupport::dcmtkTool(QStringLiteral("storescu")),
                   {QStringLiteral("+sd"), QStringLiteral("+r"), QStringLiteral("-aec"), orthanc->aeTitle(),
                    QStringLiteral("127.0.0.1"), QString::number(orthanc->port()), folder});
    storescu.waitForFinished(-1);
    if (storescu.exitCode() != 0) {
        std::fprintf(stderr, "storescu failed: %s\n", storescu.readAll().constData());
        return 1;
    }

    for (int run = 1; run <= 3; ++run) {
        DcmStudyQueryClient client;
        client.PeerHost = QStringLiteral("127.0.0.1");
        client.PeerPort = orthanc->port();
        client.CalledAETitle = orthanc->aeTitle();
        client.CallingAETitle = QStringLiteral("VARNELO");
        client.ChunkSize = chunk;
        QElapsedTimer t;
        t.start();
        const DcmStudyHolding holding = client.FindStudy(recipe.studyUid);
        const qint64 study = t.elapsed();
        const int held = static_cast<int>(client.FindInstances(recipe.studyUid, recipe.seriesUid, uids).size());
        const qint64 total = t.elapsed();
        std::printf("run %d: FindStudy %4lld ms (found %d, %d instances)  FindInstances %5lld ms (%d held, %d queries)"
                    "  together %5lld ms\n",
                    run, static_cast<long long>(study), holding.Found, holding.RelatedInstances,
                    static_cast<long long>(total - study), held, (count + chunk - 1) / chunk,
                    static_cast<long long>(total));
    }

    QProcess findscu;
    findscu.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    findscu.start(testsupport::dcmtkTool(QStringLiteral("findscu")),
                  {QStringLiteral("-S"), QStringLiteral("-aet"), QStringLiteral("VARNELO"), QStringLiteral("-aec"),
                   orthanc->aeTitle(), QStringLiteral("-k"), QStringLiteral("QueryRetrieveLevel=IMAGE"),
                   QStringLiteral("-k"), QStringLiteral("StudyInstanceUID=") + recipe.studyUid, QStringLiteral("-k"),
                   QStringLiteral("SeriesInstanceUID=") + recipe.seriesUid, QStringLiteral("-k"),
                   QStringLiteral("SOPInstanceUID"), QStringLiteral("127.0.0.1"), QString::number(orthanc->port())});
    findscu.waitForFinished(-1);
    std::printf("findscu, the whole series in one IMAGE query (no UID list): %5lld ms\n",
                static_cast<long long>(t.elapsed()));
    return 0;
}
