#include "Schedules.h"

#include "notify/MailMessage.h"

#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace qst {

namespace {

const QString kKind = QStringLiteral("Kind");
const QString kSystem = QStringLiteral("System");
const QString kGroup = QStringLiteral("Group");
const QString kPeriod = QStringLiteral("Period");
const QString kAt = QStringLiteral("At");
const QString kOutDir = QStringLiteral("OutDir");
const QString kMail = QStringLiteral("Mail");
const QString kItems = QStringLiteral("Items");
const QString kLandscape = QStringLiteral("Landscape");
const QString kPdf = QStringLiteral("Pdf");
const QString kSubject = QStringLiteral("Subject");
const QString kBody = QStringLiteral("Body");
const QString kPattern = QStringLiteral("Pattern");
const QString kGrace = QStringLiteral("GraceHours");
const QString kCreated = QStringLiteral("Created");
const QString kLastPeriod = QStringLiteral("LastPeriod");
const QString kLastResult = QStringLiteral("LastResult");

const QStringList kKinds = {QStringLiteral("hourly"), QStringLiteral("daily"), QStringLiteral("monthly"),
    QStringLiteral("journal"), QStringLiteral("statement")};

QString OneLine(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() < 0x20)
            c = u' ';
    }
    return text;
}

} // namespace

QString PeriodRuleName(PeriodRule rule)
{
    switch (rule) {
    case PeriodRule::PreviousDay:
        return QStringLiteral("previous-day");
    case PeriodRule::PreviousWeek:
        return QStringLiteral("previous-week");
    case PeriodRule::PreviousMonth:
        break;
    }
    return QStringLiteral("previous-month");
}

bool ParsePeriodRule(const QString &text, PeriodRule *rule)
{
    for (PeriodRule r : {PeriodRule::PreviousDay, PeriodRule::PreviousWeek, PeriodRule::PreviousMonth}) {
        if (text.trimmed().compare(PeriodRuleName(r), Qt::CaseInsensitive) == 0) {
            *rule = r;
            return true;
        }
    }
    return false;
}

SchedulePeriod PeriodHolding(PeriodRule rule, const QDate &day)
{
    switch (rule) {
    case PeriodRule::PreviousDay:
        return {day, day};
    case PeriodRule::PreviousWeek: {
        const QDate monday = day.addDays(1 - day.dayOfWeek());
        return {monday, monday.addDays(6)};
    }
    case PeriodRule::PreviousMonth:
        break;
    }
    const QDate first(day.year(), day.month(), 1);
    return {first, first.addMonths(1).addDays(-1)};
}

SchedulePeriod NextPeriod(PeriodRule rule, const SchedulePeriod &period)
{
    return PeriodHolding(rule, period.to.addDays(1));
}

SchedulePeriod PreviousPeriod(PeriodRule rule, const SchedulePeriod &period)
{
    return PeriodHolding(rule, period.from.addDays(-1));
}

QDateTime PeriodDueTime(PeriodRule rule, int dayOfMonth, const QTime &time, const SchedulePeriod &period)
{
    const QDate next = period.to.addDays(1); // the next day, the Monday after, the next month's first
    QDate due = next;
    if (rule == PeriodRule::PreviousMonth)
        due = QDate(next.year(), next.month(), qBound(1, dayOfMonth, next.daysInMonth()));
    // A local time a clock change skips is taken as the first valid moment after it.
    return QDateTime(due, time);
}

SchedulePeriod LatestDuePeriod(PeriodRule rule, int dayOfMonth, const QTime &time, const QDateTime &now)
{
    // The period before the current one falls due inside the current one.
    const SchedulePeriod previous = PreviousPeriod(rule, PeriodHolding(rule, now.date()));
    if (PeriodDueTime(rule, dayOfMonth, time, previous) <= now)
        return previous;
    return PreviousPeriod(rule, previous);
}

SchedulePeriod LatestEndedPeriod(PeriodRule rule, const QDateTime &now)
{
    return PreviousPeriod(rule, PeriodHolding(rule, now.date()));
}

QString PeriodText(PeriodRule rule, const SchedulePeriod &period)
{
    static const char *months[] = {"январь", "февраль", "март", "апрель", "май", "июнь", "июль", "август",
        "сентябрь", "октябрь", "ноябрь", "декабрь"};
    switch (rule) {
    case PeriodRule::PreviousDay:
        return DateText(period.from);
    case PeriodRule::PreviousWeek:
        return DateText(period.from) + QStringLiteral(" – ") + DateText(period.to);
    case PeriodRule::PreviousMonth:
        break;
    }
    return QString::fromUtf8(months[period.from.month() - 1]) + u' ' + QString::number(period.from.year());
}

bool ParseAtText(const QString &text, int *day, QTime *time)
{
    static const QRegularExpression re(QStringLiteral("^\\s*(?:(\\d{1,2})\\s+)?([01]?\\d|2[0-3]):([0-5]\\d)\\s*$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return false;
    const int d = m.captured(1).isEmpty() ? 1 : m.captured(1).toInt();
    if (d < 1 || d > 31)
        return false;
    *day = d;
    *time = QTime(m.captured(2).toInt(), m.captured(3).toInt());
    return true;
}

QString AtText(const Schedule &s)
{
    return QStringLiteral("%1 %2").arg(s.day).arg(s.at.toString(QStringLiteral("HH:mm")));
}

QString ScheduleError(const Schedule &s)
{
    if (s.name.trimmed().isEmpty() || s.name != s.name.trimmed() || s.name.size() > 64)
        return QStringLiteral("имя расписания: от 1 до 64 символов без пробелов по краям");
    for (const QChar c : s.name) {
        if (c.unicode() < 0x20 || c == u'[' || c == u']' || c == u'=' || c == u';')
            return QStringLiteral("имя расписания не может содержать [ ] = ; и управляющие символы");
    }
    if (const QString e = ProfileTextError(s.name); !e.isEmpty())
        return e;
    if (!kKinds.contains(s.kind))
        return QStringLiteral("--kind: hourly, daily, monthly, journal или statement");
    if (s.system < 1 || s.system > 3)
        return QStringLiteral("--system: 1, 2 или 3");
    if (s.group < 0)
        return QStringLiteral("--group: номер группы (0 — все приборы)");
    if (s.day < 1 || s.day > 31 || !s.at.isValid())
        return QStringLiteral("--at \"ДЕНЬ ЧЧ:ММ\": день 1..31, время 00:00..23:59");
    if (s.graceHours < 0 || s.graceHours > 24 * 366)
        return QStringLiteral("--grace: часов от 0 до 8784");
    for (const QString &a : s.mail) {
        if (const QString e = MailAddressError(a); !e.isEmpty())
            return e;
    }
    if (s.outDir.trimmed().isEmpty())
        return QStringLiteral("нужна папка документов (--out-dir)");
    if (const QString e = HeaderTextError(s.subject); !e.isEmpty())
        return QStringLiteral("тема: ") + e;
    QString body = s.body;
    body.replace(u'\n', u' ');
    for (const QString &t : {s.outDir, s.subject, body, s.pattern}) {
        if (const QString e = ProfileTextError(t); !e.isEmpty())
            return e;
    }
    return {};
}

ScheduleStore::ScheduleStore(const QString &dataRoot)
    : m_path(QDir(dataRoot).filePath(QStringLiteral("Schedules.ini")))
{
}

bool ScheduleStore::Find(const QString &name, Schedule *schedule)
{
    if (!QFile::exists(m_path))
        return false;
    ProfileFile ini(m_path);
    if (!ini.HasSection(name))
        return false;
    Schedule &s = *schedule;
    s = Schedule();
    s.name = name;
    for (const QString &section : ini.ReadSectionNames()) {
        if (section.compare(name, Qt::CaseInsensitive) == 0)
            s.name = section;
    }
    s.kind = ini.ReadString(name, kKind, s.kind).toLower();
    s.system = int(ini.ReadInteger(name, kSystem, 1));
    s.group = int(ini.ReadInteger(name, kGroup, 0));
    ParsePeriodRule(ini.ReadString(name, kPeriod, PeriodRuleName(s.period)), &s.period);
    ParseAtText(ini.ReadString(name, kAt, AtText(s)), &s.day, &s.at);
    s.outDir = ini.ReadString(name, kOutDir);
    s.mail = ini.ReadString(name, kMail).split(u',', Qt::SkipEmptyParts);
    for (QString &a : s.mail)
        a = a.trimmed();
    for (const QString &item : ini.ReadString(name, kItems).split(u',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int i = item.trimmed().toInt(&ok);
        if (ok)
            s.items << i;
    }
    s.landscape = ini.ReadInteger(name, kLandscape, 0) != 0;
    s.pdf = ini.ReadInteger(name, kPdf, 0) != 0;
    s.subject = ini.ReadString(name, kSubject);
    // \n in the stored body is a line break, \\ a backslash.
    const QString stored = ini.ReadString(name, kBody);
    for (qsizetype i = 0; i < stored.size(); ++i) {
        if (stored[i] == u'\\' && i + 1 < stored.size()) {
            s.body += stored[i + 1] == u'n' ? QChar(u'\n') : stored[i + 1];
            ++i;
        } else {
            s.body += stored[i];
        }
    }
    s.pattern = ini.ReadString(name, kPattern);
    s.graceHours = int(qBound(qint64(0), ini.ReadInteger(name, kGrace, 24), qint64(24 * 366)));
    s.created = QDateTime::fromString(ini.ReadString(name, kCreated), Qt::ISODate);
    s.lastPeriod = QDate::fromString(ini.ReadString(name, kLastPeriod), Qt::ISODate);
    s.lastResult = ini.ReadString(name, kLastResult);
    return true;
}

QList<Schedule> ScheduleStore::List()
{
    QList<Schedule> out;
    if (!QFile::exists(m_path))
        return out;
    ProfileFile ini(m_path);
    for (const QString &name : ini.ReadSectionNames()) {
        Schedule s;
        if (Find(name, &s))
            out << s;
    }
    return out;
}

void ScheduleStore::Save(const Schedule &s)
{
    ProfileFile ini(m_path);
    QStringList items;
    for (int i : s.items)
        items << QString::number(i);
    // A body's line breaks are kept as \n so the INI stays one line per key.
    QString body = s.body;
    body.replace(QStringLiteral("\\"), QStringLiteral("\\\\")).replace(u'\n', QStringLiteral("\\n"));
    ini.Update([&](ProfileFile::Edit &edit) {
        edit.EraseSection(s.name);
        const auto put = [&](const QString &key, const QString &value) { edit.WriteString(s.name, key, value); };
        put(kKind, s.kind);
        put(kSystem, QString::number(s.system));
        put(kGroup, QString::number(s.group));
        put(kPeriod, PeriodRuleName(s.period));
        put(kAt, AtText(s));
        put(kOutDir, s.outDir);
        put(kMail, s.mail.join(u','));
        put(kItems, items.join(u','));
        put(kLandscape, s.landscape ? QStringLiteral("1") : QStringLiteral("0"));
        put(kPdf, s.pdf ? QStringLiteral("1") : QStringLiteral("0"));
        put(kSubject, OneLine(s.subject));
        put(kBody, body);
        put(kPattern, s.pattern);
        put(kGrace, QString::number(s.graceHours));
        put(kCreated, s.created.toString(Qt::ISODate));
        put(kLastPeriod, s.lastPeriod.isValid() ? s.lastPeriod.toString(Qt::ISODate) : QString());
        put(kLastResult, OneLine(s.lastResult));
    });
}

bool ScheduleStore::Remove(const QString &name)
{
    if (!QFile::exists(m_path))
        return false;
    ProfileFile ini(m_path);
    if (!ini.HasSection(name))
        return false;
    ini.EraseSection(name);
    return true;
}

void ScheduleStore::MarkDone(const QString &name, const SchedulePeriod &period, const QString &result)
{
    ProfileFile ini(m_path);
    ini.Update([&](ProfileFile::Edit &edit) {
        if (!edit.HasSection(name))
            return;
        const QDate last = QDate::fromString(edit.ReadString(name, kLastPeriod), Qt::ISODate);
        if (!last.isValid() || period.from > last)
            edit.WriteString(name, kLastPeriod, period.from.toString(Qt::ISODate));
        edit.WriteString(name, kLastResult, OneLine(result));
    });
}

void ScheduleStore::SetResult(const QString &name, const QString &result)
{
    ProfileFile ini(m_path);
    if (ini.HasSection(name))
        ini.WriteString(name, kLastResult, OneLine(result));
}

} // namespace qst
