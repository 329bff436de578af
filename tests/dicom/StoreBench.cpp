// StoreTo of many small images over one association, timed against DCMTK's
// storescu sending the same files to the same storescp in the same run.
// Prints figures; asserts nothing.
//   dicom_store_bench [count] [--nagle]
// count defaults to 2000 files of about 40 KB; --nagle adds a storescu run
// with DCMTK's default socket options, to show what TCP_NODELAY is worth.

#include "dicom/Dicom.h"
#include "dicomnet/Network.h"
#include "dicom/testdata/TestData.h"
#include "support/Peers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace varnelo;
using varnelo::testsupport::Peer;

namespace {

double runStorescu(const Peer& peer, const QString& folder, bool noDelay)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TCP_NODELAY"));
    if (noDelay)
        env.insert(QStringLiteral("TCP_NODELAY"), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    p.start(testsupport::dcmtkTool(QStringLiteral("storescu")),
            {QStringLiteral("+sd"), QStringLiteral("+r"), QStringLiteral("-aec"), peer.aeTitle(),
             QStringLiteral("127.0.0.1"), QString::number(peer.port()), folder});
    p.waitForFinished(-1);
    const double s = t.elapsed() / 1000.0;
    if (p.exitCode() != 0)
        std::fprintf(stderr, "storescu failed: %s\n", p.readAll().constData());
    return s;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool withNagle = args.contains(QStringLiteral("--nagle"));
    int count = 2000;
    for (const QString& a : args)
        if (a.toInt() > 0)
            count = a.toInt();
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("images"));
    std::printf("making %d CT images of about 40 KB...\n", count);
    const QStringList files = testdata::makeSeries(folder, count, testdata::ImageRecipe {});

    Peer::Options options;
    options.tcpNoDelay = true;
    options.extraArgs << QStringLiteral("--ignore");  // measure the network, not the peer's disk
    auto peer = Peer::storescp(options);

    QElapsedTimer t;
    t.start();
    int failed = 0;
    {
        DcmImageList list;
        DcmSender sender;
        for (const QString& f : files) {
            list.LoadFile(f);
            if (sender.Store(list.ItemAt(1), QStringLiteral("127.0.0.1"), peer->port(), QStringLiteral("VARNELO"),
                                       peer->aeTitle()) != 0)
                ++failed;
            list.Clear();
        }
    }
    const double ours = t.elapsed() / 1000.0;
    const int ourAssociations = peer->associationsReceived();

    const double storescuNoDelay = runStorescu(*peer, folder, true);
    const double storescuDefault = withNagle ? runStorescu(*peer, folder, false) : 0.0;

    std::printf("files: %d, failed: %d, associations opened by StoreTo: %d\n", count, failed, ourAssociations);
    std::printf("StoreTo (load + send, one association):      %7.2f s  %6.2f ms/file\n", ours, ours * 1000 / count);
    std::printf("storescu +sd +r, TCP_NODELAY=1:              %7.2f s  %6.2f ms/file\n", storescuNoDelay,
                storescuNoDelay * 1000 / count);
    if (withNagle)
        std::printf("storescu +sd +r, DCMTK default (Nagle on):   %7.2f s  %6.2f ms/file\n", storescuDefault,
                    storescuDefault * 1000 / count);
    std::printf("ratio StoreTo / storescu(TCP_NODELAY=1):     %7.2f\n", ours / storescuNoDelay);
    return failed == 0 ? 0 : 1;
}
