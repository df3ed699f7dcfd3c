// Holds a data root's lock until its standard input closes: the second process of the
// lock test.
#include "common/DataRootLock.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    qst::DataRootLock lock(QString::fromLocal8Bit(argv[1]));
    QString error;
    if (!lock.TryLock(&error)) {
        std::printf("refused\n");
        return 1;
    }
    std::printf("locked\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
