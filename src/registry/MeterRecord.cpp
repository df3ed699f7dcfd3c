#include "MeterRecord.h"

#include "Registry.h"

#include "common/ProfileFile.h"

namespace qst {

QString ScheduleText(const QStringList &items)
{
    QString text;
    for (const QString &item : items)
        text += item + u'|';
    return text;
}

QStringList ParseSchedule(const QString &text)
{
    QStringList items = text.split(u'|');
    items.removeLast(); // the text after the last "|" (empty for a well-formed schedule)
    return items;
}

namespace {

QList<std::pair<QString, QString>> MeterKeyValues(const MeterRecord &r)
{
    return {{reg::kName, r.name.trimmed()},
            {reg::kSerial, r.serial.trimmed()},
            {reg::kAddress, r.address.trimmed()},
            {reg::kModemNum, r.modemNumber.trimmed()},
            {reg::kAbonNo, r.abonentNo.trimmed()},
            {reg::kPerson, r.person.trimmed()},
            {reg::kPhone, r.phone.trimmed()},
            {reg::kClass, QString::number(r.measuringClass)},
            {reg::kPhysAddress, r.physAddress.trimmed()},
            {reg::kDU, r.du.trimmed()},
            {reg::kCom, QString::number(r.port)},
            {reg::kDevType, QString::number(r.devType)},
            {reg::kModem, r.modem ? QStringLiteral("1") : QStringLiteral("0")},
            {reg::kSchedule, ScheduleText(r.schedule)}};
}

} // namespace

QString MeterRecordTextError(const MeterRecord &r)
{
    const std::pair<const char *, const QString *> fields[] = {
        {"Название потребителя", &r.name}, {"Серийный номер", &r.serial}, {"Сетевой адрес", &r.address},
        {"Номер модема", &r.modemNumber},  {"Абонент №", &r.abonentNo},  {"Ответственное за учёт лицо", &r.person},
        {"Телефон", &r.phone},             {"Адрес", &r.physAddress},     {"ДУ", &r.du}};
    for (const auto &[label, text] : fields) {
        const QString error = ProfileTextError(*text);
        if (!error.isEmpty())
            return QStringLiteral("%1: %2").arg(QString::fromUtf8(label), error);
    }
    return {};
}

void WriteMeterKeys(Registry &registry, int meterNumber, const MeterRecord &r)
{
    registry.file().WriteStrings(MeterSection(meterNumber), MeterKeyValues(r));
}

MeterRecord ReadMeterKeys(Registry &registry, int meterNumber)
{
    ProfileFile &ini = registry.file();
    const QString s = MeterSection(meterNumber);
    MeterRecord r;
    r.name = ini.ReadString(s, reg::kName);
    r.serial = ini.ReadString(s, reg::kSerial);
    r.address = ini.ReadString(s, reg::kAddress);
    r.modemNumber = ini.ReadString(s, reg::kModemNum);
    r.abonentNo = ini.ReadString(s, reg::kAbonNo);
    r.person = ini.ReadString(s, reg::kPerson);
    r.phone = ini.ReadString(s, reg::kPhone);
    r.measuringClass = static_cast<int>(ini.ReadInteger(s, reg::kClass, 0));
    r.physAddress = ini.ReadString(s, reg::kPhysAddress);
    r.du = ini.ReadString(s, reg::kDU);
    r.port = static_cast<int>(ini.ReadInteger(s, reg::kCom, 0));
    r.devType = static_cast<int>(ini.ReadInteger(s, reg::kDevType, 1));
    r.modem = ini.ReadInteger(s, reg::kModem, 0) == 1;
    r.schedule = ParseSchedule(ini.ReadString(s, reg::kSchedule));
    return r;
}

int AddMeter(Registry &registry, int group, const MeterRecord &record)
{
    const QString groupSection = GroupSection(group);
    int number = 0;
    registry.file().Update([&](ProfileFile::Edit &edit) {
        number = Registry::IssueMeterNumber(edit);
        edit.WriteString(groupSection, reg::kCList, AppendToNumberList(edit.ReadString(groupSection, reg::kCList), number));
        const QString section = MeterSection(number);
        for (const auto &[key, value] : MeterKeyValues(record))
            edit.WriteString(section, key, value);
        edit.WriteInteger(section, reg::kParent, group);
    });
    return number;
}

QString ReadMeterMail(Registry &registry, int meterNumber)
{
    return registry.file().ReadString(MeterSection(meterNumber), QStringLiteral("Mail")).trimmed();
}

void WriteMeterMail(Registry &registry, int meterNumber, const QString &address)
{
    const QString section = MeterSection(meterNumber);
    const QString key = QStringLiteral("Mail");
    if (address.trimmed().isEmpty() && !registry.file().HasKey(section, key))
        return;
    registry.file().WriteString(section, key, address.trimmed());
}

} // namespace qst
