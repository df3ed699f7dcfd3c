#pragma once

#include <QString>

namespace qst {

// The data root holds Tree.ini and the DATA folder. It is --data-dir when given;
// otherwise the executable's folder when Tree.ini is there or the folder is writable
// (portable use) and it is not a system folder of installed programs (/usr/bin, ...);
// otherwise the per-user data folder.
QString ResolveDataRoot(const QString &dataDirOption, const QString &executableDir);

QString TreeIniPath(const QString &dataRoot);
QString DataFolderPath(const QString &dataRoot);

// A serial number names files only once it is known to be a decimal number in 0..65535.
// Surrounding blanks are ignored; signs, other characters and empty text are refused.
bool ParseSerial(QStringView text, quint16 *serial);

enum class DataKind {
    CurrentValues, // DATA/<serial>.dat
    History,       // DATA/CV<serial>/<year><month>.dat
    Hourly,        // DATA/HA<serial>/<year><month>.dat
    Daily,         // DATA/DA<serial>/<year>.dat
    Monthly,       // DATA/MA<serial>/MA.dat
    Journal,       // DATA/J<serial>/J.dat
};

// The folder of one meter's files of a kind (DATA itself for CurrentValues).
QString MeterFolderPath(const QString &dataRoot, DataKind kind, quint16 serial);
// The one way to build a data path. year and month are those of the line's own time and
// matter only where the file name carries them.
QString DataFilePath(const QString &dataRoot, DataKind kind, quint16 serial, int year = 0, int month = 0);
// The file name within its folder for a month or a year ("20103.dat", "2010.dat").
QString MonthFileName(int year, int month);
QString YearFileName(int year);

} // namespace qst
