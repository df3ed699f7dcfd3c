#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace qst {

// The one place where text meets a file: Windows-1251 bytes, CR LF line ends.
QString DecodeCp1251(QByteArrayView bytes);
QByteArray EncodeCp1251(QStringView text);

// The system's own text for an errno value ("No space left on device" or its translation).
QString SystemErrorText(int error);

// The first character (a whole code point) that Windows-1251 cannot hold; empty when every
// character round-trips.
QString FirstUnencodableChar(QStringView text);

// Reads a whole file; a missing file is empty. Throws StorageError when the file exists
// but cannot be read or is no regular file (a FIFO, a device, a folder).
QByteArray ReadFileBytes(const QString &path, bool *exists = nullptr);

// Splits Windows-1251 text into lines; CR LF, lone LF and lone CR all end a line; the
// empty text after a final line end is no line.
QStringList SplitLines(const QByteArray &bytes);

// Loads a line file (missing file: no lines).
QStringList LoadLines(const QString &path);

// Length of the random suffix of a save's temporary copy "<name>.XXXXXX".
constexpr int kTemporarySuffixLength = 6;

// Writes bytes atomically: a temporary file "<name>.XXXXXX" in the same folder, every write
// checked and synced to disk, replaces the old one only when complete; the folder is synced
// after. Any fault removes the temporary file, leaves the old file byte for byte as it was
// and throws StorageError with the system's reason. A symbolic link or anything but a
// regular file at `path` is refused, never followed or replaced. Every file the programs
// write goes through here.
void SaveFileBytes(const QString &path, const QByteArray &bytes);

// The longest file name, in bytes, that the file system of `folder` holds (255 when it
// cannot tell).
int FileNameLimit(const QString &folder);

// Writes the lines, each followed by CR LF, atomically.
void SaveLines(const QString &path, const QStringList &lines);

// The benchmarks turn the syncs of SaveFileBytes off for their baseline, to show what the
// syncs cost; everything else keeps them on.
void SetSyncToDiskForBenchmarks(bool enabled);

// Test seam for faults a real disk cannot produce on demand: when set and it returns
// true for a path, the save of that path fails just before the rename.
void SetSaveFaultForTests(std::function<bool(const QString &path)> fault);

} // namespace qst
