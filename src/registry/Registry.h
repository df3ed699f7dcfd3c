#pragma once

#include "common/ProfileFile.h"

#include <QHash>

#include <QList>
#include <QString>

namespace qst {

// Section and key names of Tree.ini, one place for every subsystem.
namespace reg {
inline const QString kVisual = QStringLiteral("VISUAL");
inline const QString kTree = QStringLiteral("TREE");
inline const QString kPorts = QStringLiteral("PORTS");
inline const QString kMaxCNum = QStringLiteral("MaxCNum");
inline const QString kGroupList = QStringLiteral("GroupList");
inline const QString kCList = QStringLiteral("CList");
inline const QString kName = QStringLiteral("Name");
inline const QString kParent = QStringLiteral("Parent");
inline const QString kSerial = QStringLiteral("Serial");
inline const QString kAddress = QStringLiteral("Address");
inline const QString kModemNum = QStringLiteral("ModemNum");
inline const QString kAbonNo = QStringLiteral("AbonNo");
inline const QString kPerson = QStringLiteral("Person");
inline const QString kPhone = QStringLiteral("Phone");
inline const QString kPhysAddress = QStringLiteral("PhysAddress");
inline const QString kDU = QStringLiteral("DU");
inline const QString kClass = QStringLiteral("Class");
inline const QString kCom = QStringLiteral("Com");
inline const QString kDevType = QStringLiteral("DevType");
inline const QString kModem = QStringLiteral("Modem");
inline const QString kSchedule = QStringLiteral("Schedule");
inline const QString kLastH = QStringLiteral("LastH");
inline const QString kLastD = QStringLiteral("LastD");
inline const QString kLastM = QStringLiteral("LastM");
inline const QString kLastJ = QStringLiteral("LastJ");
} // namespace reg

// Meter and group numbers stay within 1..kMaxRegistryNumber; a stored MaxCNum or GroupList
// element beyond it is damage, not a number to count up to.
constexpr int kMaxRegistryNumber = 100000;

QString MeterSection(int meterNumber);  // "C7"
QString GroupSection(int groupNumber);  // "G3"; group 0 is the root's "G0"

// Number lists: "3,7,12", empty for none.
QString AppendToNumberList(const QString &list, int number);
QString RemoveFromNumberList(const QString &list, int number);
// Elements that are not whole numbers are skipped.
QList<int> ParseNumberList(const QString &list);

// The meter registry kept in Tree.ini. Every call reads or writes the file through the
// profile file, so a value written anywhere is seen by the next read everywhere.
class Registry
{
public:
    explicit Registry(const QString &treeIniPath);

    ProfileFile &file() { return m_file; }

    // MaxCNum for the readers, held within 0..kMaxRegistryNumber so a damaged value can
    // neither overflow nor make a loop run for ever.
    int MaxMeterNumber();
    static int MaxMeterNumber(const ProfileFile::Reader &ini);
    // The meters that exist: sections C1..C<MaxCNum>, ascending. Costs by the file's
    // sections, not by MaxCNum.
    QList<int> MeterNumbers();
    static QList<int> MeterNumbers(const ProfileFile::Reader &ini);
    // MaxCNum + 1, written back; the new meter's number. A stored MaxCNum outside
    // 0..kMaxRegistryNumber, or no number left, throws StorageError and writes nothing.
    int IssueMeterNumber();
    static int IssueMeterNumber(ProfileFile::Edit &edit);
    // The last GroupList element + 1 (1 for an empty list), appended to GroupList; bounded
    // as meter numbers are.
    int IssueGroupNumber();
    static int IssueGroupNumber(ProfileFile::Edit &edit);

    void AppendNumber(const QString &section, const QString &key, int number);
    void RemoveNumber(const QString &section, const QString &key, int number);

    // The first meter 1..MaxCNum whose Serial, trimmed, equals the serial's decimal text;
    // 0 when none.
    int FindMeterBySerialText(quint16 serial);
    // The first meter whose Serial read as an integer (default 0) equals the number.
    int FindMeterBySerialInt(qint64 serial);

    // A calculator met only in a dump: a new meter under the root with Name and Serial the
    // serial's text, Address 1, Com 1, Modem 0, Parent 0, with one rewrite of the file.
    // Returns its number.
    int RegisterDumpMeter(quint16 serial);

private:
    ProfileFile m_file;
    // Serial (as read by FindMeterBySerialInt) to the first meter number, for the file's
    // generation it was built from.
    QHash<qint64, int> m_bySerial;
    quint64 m_bySerialGeneration = 0;
    bool m_bySerialValid = false;
};

} // namespace qst
