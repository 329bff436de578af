// varnelo-fuzzseeds TARGET FOLDER: starting inputs for one fuzz target.
#include "Seeds.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s imagelist|dicomdir|settings|walk|jpeg2000|charset|archive FOLDER\n", argv[0]);
        return 2;
    }
    const QStringList written = varnelo::fuzz::writeSeeds(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    std::printf("%lld seeds\n", static_cast<long long>(written.size()));
    return written.isEmpty() ? 1 : 0;
}
