#include "Alarms.h"

#include "NotifySettings.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "exchange/MeterSummary.h"
#include "registry/Registry.h"
#include "replication/DatabaseSettings.h"
#include "replication/Replicator.h"
#include "storage/RecordWriters.h"

#include <QDir>
#include <QHash>
#include <QJsonValue>

#include <mutex>

#ifdef Q_OS_UNIX
#include <sys/statvfs.h>
#endif

namespace qst {

namespace {

const QString kAlarmPrefix = QStringLiteral("ALARM ");
const QString kRatePrefix = QStringLiteral("RATE ");
const QString kKind = QStringLiteral("Kind");
const QString kSerial = QStringLiteral("Serial");
const QString kRaised = QStringLiteral("Raised");
const QString kText = QStringLiteral("Text");
const QString kWindow = QStringLiteral("Window");
const QString kSent = QStringLiteral("Sent");
const QString kHeld = QStringLiteral("Held");

QString AlarmSection(const QString &kind, quint16 serial)
{
    return kAlarmPrefix + kind + u' ' + QString::number(serial);
}

int SystemDiskFreePercent(const QString &dataRoot)
{
#ifdef Q_OS_UNIX
    struct statvfs s {};
    if (statvfs(QFile::encodeName(dataRoot).constData(), &s) != 0 || s.f_blocks == 0)
        return -1;
    return int((s.f_bavail * 100) / s.f_blocks);
#else
    Q_UNUSED(dataRoot);
    return -1;
#endif
}

std::mutex g_probeMutex;
std::function<int(const QString &)> g_diskProbe;

int DiskFreePercent(const QString &dataRoot)
{
    std::function<int(const QString &)> probe;
    {
        std::lock_guard lock(g_probeMutex);
        probe = g_diskProbe;
    }
    return probe ? probe(dataRoot) : SystemDiskFreePercent(dataRoot);
}

QString OverdueText(const MeterStatus &s)
{
    QString text = s.lastAnswer > 0 ? QStringLiteral("Прибор не отвечает с %1").arg(DateTimeText(s.lastAnswer))
                                    : QStringLiteral("Прибор ещё ни разу не ответил");
    if (!s.failureText.isEmpty())
        text += QStringLiteral(". Последняя ошибка: ") + s.failureText;
    return text;
}

QString FaultText(const int words[5])
{
    return QStringLiteral("Нештатная ситуация за последние сутки: ") + NsPairText(quint16(words[0]), quint16(words[1])) +
           u' ' + NsPairText(quint16(words[2]), quint16(words[3])) + u' ' + NsSingleText(quint16(words[4]));
}

// Alarms.ini holds one line per key in Windows-1251: line breaks (libpq's errors have them)
// become blanks and what the code page cannot hold becomes '?'.
QString StorableText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'\r' || c == u'\n' || c == u'\t')
            out += u' ';
        else if (c.isSurrogate() || c.unicode() < 0x20 || !FirstUnencodableChar(QString(c)).isEmpty())
            out += u'?';
        else
            out += c;
    }
    return out.simplified();
}

qint64 HourWindow(const QDateTime &now)
{
    const qint64 ms = now.toMSecsSinceEpoch();
    return ms - ms % 3600000;
}

} // namespace

QString AlarmEvent::state() const
{
    if (kind == QStringLiteral("summary"))
        return QStringLiteral("summary");
    return raised ? QStringLiteral("raised") : QStringLiteral("cleared");
}

QString ActiveAlarmsText(const QList<ActiveAlarm> &alarms)
{
    static const QHash<QString, QString> names = {{QStringLiteral("overdue"), QStringLiteral("нет ответа")},
                                                  {QStringLiteral("fault"), QStringLiteral("НС")},
                                                  {QStringLiteral("ring"), QStringLiteral("недостающие записи")},
                                                  {QStringLiteral("database"), QStringLiteral("база данных")},
                                                  {QStringLiteral("disk"), QStringLiteral("диск")}};
    QStringList lines;
    for (const ActiveAlarm &a : alarms) {
        lines << QStringLiteral("Тревога: %1%2 (с %3): %4")
                     .arg(names.value(a.kind, a.kind),
                          a.serial > 0 ? QStringLiteral(", прибор %1").arg(a.serial) : QString(),
                          a.raised.isValid() ? DateTimeText(DayCountFromDateTime(a.raised.toLocalTime())) : QString(),
                          a.text);
    }
    return lines.join(u'\n');
}

QString IsoTime(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

QJsonObject AlarmEventJson(const AlarmEvent &e)
{
    QJsonObject o;
    o[QStringLiteral("serial")] = e.serial > 0 ? QJsonValue(int(e.serial)) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("kind")] = e.kind;
    o[QStringLiteral("state")] = e.state();
    o[QStringLiteral("time")] = IsoTime(e.time);
    o[QStringLiteral("text")] = e.text;
    if (e.kind == QStringLiteral("summary"))
        o[QStringLiteral("suppressed")] = e.suppressed;
    return o;
}

void SetDiskFreePercentForTests(std::function<int(const QString &)> probe)
{
    std::lock_guard lock(g_probeMutex);
    g_diskProbe = std::move(probe);
}

QList<ActiveAlarm> EvaluateAlarms(const QString &dataRoot, const QList<MeterSummaryRow> &rows, Registry &registry,
                                  const AlarmSettings &settings, const QDateTime &now)
{
    QList<ActiveAlarm> alarms;
    for (const MeterSummaryRow &row : rows) {
        if (row.overdue)
            alarms.append({QStringLiteral("overdue"), row.serial, now, OverdueText(row.status)});
        if (row.nsFlags != 0)
            alarms.append({QStringLiteral("fault"), row.serial, now, FaultText(row.nsWords)});
        if (row.gapsInRing)
            alarms.append({QStringLiteral("ring"), row.serial, now,
                           QStringLiteral("В файлах нет записей, которые ещё хранит прибор: когда кольцо архива "
                                          "пройдёт их, они будут потеряны (qst-cli poll --fill-gaps)")});
    }
    if (ReadDatabaseSettings(registry).enabled()) {
        const ReplicationState state = ReadReplicationState(dataRoot);
        if (state.offlineSince.isValid() && state.offlineSince.secsTo(now) >= qint64(settings.databaseOfflineMinutes) * 60)
            alarms.append({QStringLiteral("database"), 0, now,
                           QStringLiteral("Нет связи с базой данных с %1: %2")
                               .arg(DateTimeText(state.offlineSince.toLocalTime()), state.lastError)});
    }
    const int free = DiskFreePercent(dataRoot);
    if (free >= 0 && free < settings.diskFreePercent)
        alarms.append({QStringLiteral("disk"), 0, now,
                       QStringLiteral("На диске каталога данных свободно %1% (порог %2%)").arg(free).arg(
                           settings.diskFreePercent)});
    return alarms;
}

AlarmMonitor::AlarmMonitor(QString dataRoot)
    : m_dataRoot(std::move(dataRoot))
{
}

QString AlarmMonitor::FilePath(const QString &dataRoot)
{
    return QDir(dataRoot).filePath(QStringLiteral("Alarms.ini"));
}

QList<ActiveAlarm> AlarmMonitor::Active(const QString &dataRoot)
{
    QList<ActiveAlarm> list;
    if (!QFile::exists(FilePath(dataRoot)))
        return list;
    ProfileFile file(FilePath(dataRoot));
    for (const QString &section : file.ReadSectionNames()) {
        if (!section.startsWith(kAlarmPrefix, Qt::CaseInsensitive))
            continue;
        ActiveAlarm a;
        a.kind = file.ReadString(section, kKind);
        quint16 serial = 0;
        const QString serialText = file.ReadString(section, kSerial);
        if (a.kind.isEmpty() || (serialText != QStringLiteral("0") && !ParseSerial(serialText, &serial)))
            continue;
        a.serial = serial;
        a.raised = QDateTime::fromString(file.ReadString(section, kRaised), Qt::ISODate);
        a.text = file.ReadString(section, kText);
        list.append(a);
    }
    return list;
}

QList<AlarmEvent> AlarmMonitor::Update(const QList<ActiveAlarm> &given, int perMeterPerHour, const QDateTime &now)
{
    QList<ActiveAlarm> conditions;
    for (ActiveAlarm c : given) {
        c.text = StorableText(c.text);
        conditions.append(c);
    }
    QList<AlarmEvent> changes;
    const QList<ActiveAlarm> stored = Active(m_dataRoot);
    ProfileFile file(FilePath(m_dataRoot));
    auto same = [](const ActiveAlarm &a, const ActiveAlarm &b) { return a.kind == b.kind && a.serial == b.serial; };
    for (const ActiveAlarm &c : conditions) {
        const auto it = std::find_if(stored.begin(), stored.end(), [&](const ActiveAlarm &s) { return same(s, c); });
        if (it != stored.end()) {
            if (it->text != c.text) // the alarm stands; only its words changed
                file.WriteString(AlarmSection(c.kind, c.serial), kText, c.text);
            continue;
        }
        file.WriteStrings(AlarmSection(c.kind, c.serial), {{kKind, c.kind},
                                                           {kSerial, QString::number(c.serial)},
                                                           {kRaised, IsoTime(now)},
                                                           {kText, c.text}});
        changes.append({c.kind, c.serial, true, now, c.text, 0});
    }
    for (const ActiveAlarm &s : stored) {
        if (std::none_of(conditions.begin(), conditions.end(), [&](const ActiveAlarm &c) { return same(s, c); })) {
            file.EraseSection(AlarmSection(s.kind, s.serial));
            changes.append({s.kind, s.serial, false, now, s.text, 0});
        }
    }

    // The rate limit: counts per meter in the current hour's window.
    QList<AlarmEvent> out;
    const qint64 window = HourWindow(now);
    for (const QString &section : file.ReadSectionNames()) {
        if (!section.startsWith(kRatePrefix, Qt::CaseInsensitive))
            continue;
        if (file.ReadInteger(section, kWindow, 0) == window)
            continue;
        const int held = int(file.ReadInteger(section, kHeld, 0));
        quint16 serial = 0;
        ParseSerial(section.mid(kRatePrefix.size()), &serial);
        if (held > 0)
            out.append({QStringLiteral("summary"), serial, true, now,
                        QStringLiteral("Не отправлено уведомлений за прошедший час (ограничение %1 в час): %2; "
                                       "действующие тревоги: qst-cli alarms")
                            .arg(perMeterPerHour)
                            .arg(held),
                        held});
        file.EraseSection(section);
    }
    for (const AlarmEvent &e : changes) {
        const QString section = kRatePrefix + QString::number(e.serial);
        const int sent = int(file.ReadInteger(section, kSent, 0));
        const int held = int(file.ReadInteger(section, kHeld, 0));
        const bool pass = sent < perMeterPerHour;
        file.WriteStrings(section, {{kWindow, QString::number(window)},
                                    {kSent, QString::number(pass ? sent + 1 : sent)},
                                    {kHeld, QString::number(pass ? held : held + 1)}});
        if (pass)
            out.append(e);
    }
    return out;
}

} // namespace qst
