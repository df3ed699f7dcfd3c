#pragma once

#include "storage/RecordWriters.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace qst {

// The operator's texts of the archive import, kept together.
namespace importtexts {
inline const QString kFileFilter = QStringLiteral("Файлы архива (*.arch)|*.arch");
inline const QString kConfirmCaption = QStringLiteral("Требуется подтверждение!");
inline const QString kConfirmHead = QStringLiteral("Вы собираетесь загрузить архивы для следующих приборов:\n");
inline const QString kConfirmTail = QStringLiteral("\nПодтвердите!");
inline const QString kMismatchA = QStringLiteral("Файл ");
inline const QString kMismatchB = QStringLiteral(" не соответствует серийному номеру прибора! Номер прибора в файле ");
inline const QString kDone = QStringLiteral("Загрузка выполнена успешно.");
inline const QString kFailed = QStringLiteral("В процессе загрузки возникла ошибка \n");
// The import's own errors (a damaged or foreign file).
inline const QString kCannotOpen = QStringLiteral("Не удалось открыть файл ");
inline const QString kTruncatedA = QStringLiteral("Файл ");
inline const QString kTruncatedB = QStringLiteral(" короче, чем указано в его заголовке.");
inline const QString kTooLongA = QStringLiteral("Файл ");
inline const QString kTooLongB = QStringLiteral(" не является архивом прибора: длина блока или записи ");
inline const QString kTooLongC = QStringLiteral(" байт больше 1024.");
inline const QString kNoSerialA = QStringLiteral("Файл ");
inline const QString kNoSerialB = QStringLiteral(" не является архивом прибора: блок параметров не содержит серийного номера.");
inline const QString kNotRegularA = QStringLiteral("Файл ");
inline const QString kNotRegularB = QStringLiteral(" не является обычным файлом (канал, устройство или папка).");
inline const QString kNotStoredA = QStringLiteral("Загрузка завершена с ошибками: не удалось сохранить записей: ");
inline const QString kNotStoredB = QStringLiteral(". Первая причина: ");
} // namespace importtexts

// A dump file: a 27-byte header of little-endian 16-bit lengths and counts, then the
// identification, current-parameter and parameter blocks, then the hourly, daily and
// monthly records and the journal entries. Every block and record fits one 1024-byte buffer.
constexpr int kDumpHeaderSize = 27;
constexpr int kDumpBufferSize = 1024;
constexpr int kDumpSerialOffset = 0x10; // in the parameter block, high byte first

struct DumpHeader
{
    int idSize = 0;
    int currentSize = 0;
    int paramSize = 0;
    int recordSize[4] = {}; // hourly, daily, monthly, journal
    int recordCount[4] = {};
};

// The header's fields; false when the buffer is shorter than a header.
bool ParseDumpHeader(const quint8 *bytes, int length, DumpHeader *header);
// Whether every block and record of the header fits the buffer.
bool DumpHeaderFits(const DumpHeader &header);

// The serial of a dump file, 0 when its header or first three blocks cannot be read (a
// short file, or a block longer than the buffer). A file that cannot be opened throws
// StorageError.
quint16 ReadDumpSerial(const QString &path);

// Throws StorageError when the file cannot name its calculator: shorter than its header
// and first three blocks, a block longer than the buffer, or a parameter block without
// the serial (a truncated or all-zero file).
void CheckDumpSerial(const QString &path);

// Progress of one file, 10..100 in the import's fixed stages.
using ImportProgress = std::function<void(int percent)>;

struct DumpImportResult
{
    bool loaded = false;
    quint16 fileSerial = 0; // the parameter block's serial
    int notStored = 0;      // records dropped because their file could not be written
    QString firstReason;    // the first such write error
};

// Stores one dump file as a poll would, overwrite set, under the meter's section (looked up
// in target.registry). A serial other than expectedSerial stores nothing (loaded false).
// A record with an impossible date or one that cannot be stored is dropped; the latter are
// counted in notStored. A file shorter
// than its header, or one that is no dump, throws StorageError; what was read before the
// error stays stored, marks included.
DumpImportResult ImportArchiveFile(const StorageTarget &target, const QString &path, quint16 expectedSerial,
                                   const ImportProgress &progress = {});

// "Вы собираетесь загрузить ... Подтвердите!" for the serials in file order.
QString ImportConfirmationText(const QList<quint16> &serials);
QString ImportMismatchText(const QString &path, quint16 fileSerial);

// The command after its confirmation: every file in order, its calculator registered when
// the registry does not know it, the overall bar (100 div n) x (i + 1) after each file.
struct ImportCallbacks
{
    std::function<void(int percent)> overall;
    ImportProgress file;
    // The mismatch message of a refused file.
    std::function<void(const QString &text)> message;
};

struct ImportRunResult
{
    bool completed = false; // every file was gone through without an error
    int loaded = 0;
    int refused = 0;
    int notStored = 0;      // records of loaded files that could not be stored
    QString firstReason;
    QString error;          // the error's message when not completed
};

// What the operator is told at the end: the failure, the count of records that could not
// be stored with the first reason, or "Загрузка выполнена успешно.".
QString ImportResultText(const ImportRunResult &run);

ImportRunResult ImportArchiveFiles(const StorageTarget &target, const QStringList &paths,
                                   const QList<quint16> &serials, const ImportCallbacks &callbacks);

} // namespace qst
