#include "DataRoot.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace qst {

QString ResolveDataRoot(const QString &dataDirOption, const QString &executableDir)
{
    if (!dataDirOption.isEmpty())
        return QDir::cleanPath(QDir(dataDirOption).absolutePath());
    // An installed program's folder is never a data root, not even for root, who may write there.
    const QString exeClean = QDir::cleanPath(executableDir);
    const bool installed = exeClean == QStringLiteral("/usr/bin") || exeClean == QStringLiteral("/usr/local/bin") ||
                           exeClean == QStringLiteral("/bin");
    if (!executableDir.isEmpty() && !installed) {
        const QFileInfo exeDir(executableDir);
        if (QFileInfo::exists(TreeIniPath(executableDir)) || (exeDir.isDir() && exeDir.isWritable()))
            return QDir::cleanPath(exeDir.absoluteFilePath());
    }
    return QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

QString TreeIniPath(const QString &dataRoot)
{
    return dataRoot + QStringLiteral("/Tree.ini");
}

QString DataFolderPath(const QString &dataRoot)
{
    return dataRoot + QStringLiteral("/DATA");
}

bool ParseSerial(QStringView text, quint16 *serial)
{
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 5)
        return false;
    int value = 0;
    for (QChar c : text) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return false;
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value > 65535)
        return false;
    *serial = static_cast<quint16>(value);
    return true;
}

QString MonthFileName(int year, int month)
{
    return QStringLiteral("%1%2.dat").arg(year).arg(month);
}

QString YearFileName(int year)
{
    return QStringLiteral("%1.dat").arg(year);
}

QString MeterFolderPath(const QString &dataRoot, DataKind kind, quint16 serial)
{
    const QString data = DataFolderPath(dataRoot);
    const QString number = QString::number(serial);
    switch (kind) {
    case DataKind::CurrentValues:
        return data;
    case DataKind::History:
        return data + QStringLiteral("/CV") + number;
    case DataKind::Hourly:
        return data + QStringLiteral("/HA") + number;
    case DataKind::Daily:
        return data + QStringLiteral("/DA") + number;
    case DataKind::Monthly:
        return data + QStringLiteral("/MA") + number;
    case DataKind::Journal:
        return data + QStringLiteral("/J") + number;
    }
    return data;
}

QString DataFilePath(const QString &dataRoot, DataKind kind, quint16 serial, int year, int month)
{
    const QString folder = MeterFolderPath(dataRoot, kind, serial);
    switch (kind) {
    case DataKind::CurrentValues:
        return folder + u'/' + QString::number(serial) + QStringLiteral(".dat");
    case DataKind::History:
    case DataKind::Hourly:
        return folder + u'/' + MonthFileName(year, month);
    case DataKind::Daily:
        return folder + u'/' + YearFileName(year);
    case DataKind::Monthly:
        return folder + QStringLiteral("/MA.dat");
    case DataKind::Journal:
        return folder + QStringLiteral("/J.dat");
    }
    return folder;
}

} // namespace qst
