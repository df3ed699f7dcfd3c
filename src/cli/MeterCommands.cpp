#include "CliCommand.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "link/PortLinks.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"

#include <QRegularExpression>

namespace qst::cli {

namespace {


// --name VALUE pairs and bare flags, in any order.
struct Options
{
    QHash<QString, QString> values;
    QSet<QString> flags;
    QString unknown;
};

Options ParseOptions(const QStringList &args, const QStringList &valued, const QStringList &flags)
{
    Options o;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        if (valued.contains(a) && i + 1 < args.size()) {
            o.values.insert(a, args[++i]);
        } else if (flags.contains(a)) {
            o.flags.insert(a);
        } else {
            o.unknown = a;
            break;
        }
    }
    return o;
}

bool IsInt32(const QString &text)
{
    qint64 v = 0;
    return TryParseInt(text, &v) && v >= INT_MIN && v <= INT_MAX;
}

} // namespace

int RunMeterAdd(const CliContext &context)
{
    const Options o = ParseOptions(context.args,
                                   {QStringLiteral("--name"), QStringLiteral("--serial"), QStringLiteral("--address"),
                                    QStringLiteral("--port"), QStringLiteral("--phone"), QStringLiteral("--devtype"),
                                    QStringLiteral("--group"), QStringLiteral("--schedule")},
                                   {QStringLiteral("--modem")});
    if (!o.unknown.isEmpty())
        return UsageError(QStringLiteral("meter add: unknown or incomplete option %1").arg(o.unknown));
    MeterRecord m;
    m.name = o.values.value(QStringLiteral("--name")).trimmed();
    m.serial = o.values.value(QStringLiteral("--serial")).trimmed();
    m.address = o.values.value(QStringLiteral("--address")).trimmed();
    // The meter dialog's checks, in its order.
    if (m.name.isEmpty())
        return UsageError(QStringLiteral("Укажите название потребителя."));
    if (m.serial.isEmpty())
        return UsageError(QStringLiteral("Укажите серийный номер."));
    if (!IsInt32(m.serial))
        return UsageError(QStringLiteral("Серийный номер указан некорректно."));
    if (m.address.isEmpty())
        return UsageError(QStringLiteral("Укажите сетевой адрес."));
    if (!IsInt32(m.address))
        return UsageError(QStringLiteral("Сетевой адрес указан некорректно."));
    bool ok = false;
    m.port = o.values.value(QStringLiteral("--port")).toInt(&ok);
    if (!ok || m.port < 1 || m.port > 32)
        return UsageError(QStringLiteral("Выберите порт."));
    m.modem = o.flags.contains(QStringLiteral("--modem"));
    m.modemNumber = o.values.value(QStringLiteral("--phone")).trimmed();
    if (m.modem && m.modemNumber.isEmpty())
        return UsageError(QStringLiteral("meter add: --modem needs --phone NUMBER"));
    m.devType = o.values.value(QStringLiteral("--devtype"), QStringLiteral("1")).toInt(&ok);
    if (!ok || (m.devType != 1 && m.devType != 2))
        return UsageError(QStringLiteral("meter add: --devtype is 1 (QST-5.4) or 2 (QST-5.4.4)"));
    static const QRegularExpression time(QStringLiteral("^([01]\\d|2[0-3]):[0-5]\\d$"));
    for (const QString &item : o.values.value(QStringLiteral("--schedule")).split(u',', Qt::SkipEmptyParts)) {
        if (!time.match(item.trimmed()).hasMatch())
            return UsageError(QStringLiteral("meter add: schedule times are HH:MM (%1)").arg(item));
        m.schedule.append(item.trimmed());
    }
    const int group = o.values.value(QStringLiteral("--group"), QStringLiteral("0")).toInt(&ok);
    if (const QString error = MeterRecordTextError(m); !error.isEmpty())
        return UsageError(error);
    if (!ok || group < 0 || group > kMaxRegistryNumber)
        return UsageError(QStringLiteral("meter add: no group %1").arg(o.values.value(QStringLiteral("--group"))));

    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    Registry registry(TreeIniPath(context.dataRoot));
    try {
        if (group > 0 && !ParseNumberList(registry.file().ReadString(reg::kTree, reg::kGroupList)).contains(group))
            return UsageError(QStringLiteral("meter add: no group %1").arg(o.values.value(QStringLiteral("--group"))));
        PrintLine(stdout, QString::number(AddMeter(registry, group, m)));
    } catch (const StorageError &e) {
        PrintLine(stderr, e.message());
        return kExitFailed;
    }
    return kExitOk;
}

namespace {

// One field of a TAB-separated line: a TAB, a line break or another control character in a
// name must not split the line or the column, so it is written as an escape, and the
// backslash with it so the escapes stay unambiguous.
QString ListField(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

} // namespace

int RunMeterList(const CliContext &context)
{
    if (context.args.size() > 1)
        return UsageError(QStringLiteral("meter list takes no options"));
    Registry registry(TreeIniPath(context.dataRoot));
    ProfileFile &ini = registry.file();
    try {
        const QString maxText = ini.ReadString(reg::kTree, reg::kMaxCNum);
        qint64 max = 0;
        const bool damaged = TryParseInt(maxText, &max) && (max < 0 || max > kMaxRegistryNumber);
        PrintLine(stdout, QStringLiteral("#\tserial\tname\taddress\tport\tmodem\tphone\tdevtype\tgroup\tschedule"));
        for (int n : registry.MeterNumbers()) {
            const QString s = MeterSection(n);
            const MeterRecord m = ReadMeterKeys(registry, n);
            PrintLine(stdout, QStringList{QString::number(n), ListField(m.serial), ListField(m.name),
                                          ListField(m.address), QString::number(m.port),
                                          m.modem ? QStringLiteral("1") : QStringLiteral("0"), ListField(m.modemNumber),
                                          QString::number(m.devType),
                                          QString::number(ini.ReadInteger(s, reg::kParent, 0)),
                                          ListField(m.schedule.join(u','))}
                                  .join(u'\t'));
        }
        if (damaged) {
            PrintLine(stderr, QStringLiteral("Файл Tree.ini повреждён: значение %1 = %2 вне допустимых пределов "
                                             "(номера от 1 до %3); показаны приборы с номерами до %3.")
                                  .arg(reg::kMaxCNum, maxText.trimmed())
                                  .arg(kMaxRegistryNumber));
            return kExitFailed;
        }
    } catch (const StorageError &e) {
        PrintLine(stderr, e.message());
        return kExitFailed;
    }
    return kExitOk;
}

int RunPortSet(const CliContext &context)
{
    QStringList args = context.args;
    const bool fast = args.removeAll(QStringLiteral("--fast")) > 0;
    bool ok = false;
    const int port = args.size() == 3 ? args[1].toInt(&ok) : 0;
    if (!ok || port < 1 || port > 64 || args[2].trimmed().isEmpty())
        return UsageError(QStringLiteral("usage: port set N DEVICE [--fast]   (N is 1..64; DEVICE a device path or "
                                         "tcp://HOST:PORT)"));
    const QString device = args[2].trimmed();
    if (const QString error = ProfileTextError(args[2]); !error.isEmpty())
        return UsageError(QStringLiteral("port set: %1").arg(error));
    const QString problem = PortMappingProblem(device);
    if (!problem.isEmpty())
        return UsageError(QStringLiteral("port set: ") + problem);
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        registry.file().WriteString(reg::kPorts, QString::number(port), device);
        // Without --fast the port keeps (or gets back) the silence framing.
        const QString fastKey = FastFramingKey(port);
        if (fast || registry.file().HasKey(reg::kPorts, fastKey))
            registry.file().WriteString(reg::kPorts, fastKey, fast ? QStringLiteral("1") : QStringLiteral("0"));
    } catch (const StorageError &e) {
        PrintLine(stderr, e.message());
        return kExitFailed;
    }
    return kExitOk;
}

} // namespace qst::cli
