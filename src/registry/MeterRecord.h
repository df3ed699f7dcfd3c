#pragma once

#include <QString>
#include <QStringList>

namespace qst {

class Registry;

// A meter's registry keys as the meter dialog edits them, in the order they are written.
struct MeterRecord
{
    QString name;        // Name
    QString serial;      // Serial
    QString address;     // Address
    QString modemNumber; // ModemNum
    QString abonentNo;   // AbonNo
    QString person;      // Person
    QString phone;       // Phone
    int measuringClass = 0; // Class: 0 "В, В2", 1 "Б"
    QString physAddress; // PhysAddress
    QString du;          // DU, as typed
    int port = 0;        // Com, 1..32 (0: none chosen)
    int devType = 1;     // DevType: 1 "QST-5.4", 2 "QST-5.4.4"
    bool modem = false;  // Modem
    QStringList schedule; // Schedule items "HH:MM"
};

// "08:00|20:30|" and back; text after the last "|" is no item.
QString ScheduleText(const QStringList &items);
QStringList ParseSchedule(const QString &text);

// Why a text of the record cannot be stored as typed (a line break, a character Windows-1251
// cannot hold), naming the field; empty when every text can. The meter dialog and qst-cli
// refuse such a record.
QString MeterRecordTextError(const MeterRecord &record);

// Writes every key of the record in the dialog's order (texts trimmed), without Parent.
void WriteMeterKeys(Registry &registry, int meterNumber, const MeterRecord &record);
MeterRecord ReadMeterKeys(Registry &registry, int meterNumber);

// The registry side of "add a meter": the next meter number (MaxCNum + 1, written back),
// appended to the group's CList, the keys in the dialog's order, then Parent, all with one
// rewrite of the file. Returns the new meter's number.
int AddMeter(Registry &registry, int group, const MeterRecord &record);

// The meter's mail address for scheduled documents: key "Mail" of its section, which the old
// program ignores. Written only when set or when it was there, so other meters' sections stay
// as they were.
QString ReadMeterMail(Registry &registry, int meterNumber);
void WriteMeterMail(Registry &registry, int meterNumber, const QString &address);

} // namespace qst
