#include "ReportBatch.h"

#include "common/DataRoot.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "reports/WordDocument.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace qst {

namespace {

QString SafePart(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        const bool bad = c.category() == QChar::Other_Control || c == u'/' || c == u'\\' || c == u':' || c == u'*'
            || c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|';
        out += bad ? u'_' : c;
    }
    return out;
}

// The extension a cut keeps: a short one, as a document's.
QString Extension(const QString &name)
{
    const QString suffix = QFileInfo(name).suffix();
    return suffix.isEmpty() || suffix.size() > 10 || suffix.size() + 1 >= name.size() ? QString() : u'.' + suffix;
}

// The name cut to `maxBytes` of UTF-8 between whole characters, its extension kept.
QString CutToBytes(const QString &name, int maxBytes)
{
    if (name.toUtf8().size() <= maxBytes)
        return name;
    const QString extension = Extension(name);
    QString base = name.left(name.size() - extension.size());
    qsizetype bytes = extension.toUtf8().size();
    qsizetype keep = 0;
    while (keep < base.size()) {
        const qsizetype n = base[keep].isHighSurrogate() && keep + 1 < base.size() ? 2 : 1;
        const qsizetype add = QStringView(base).sliced(keep, n).toUtf8().size();
        if (bytes + add > maxBytes)
            break;
        bytes += add;
        keep += n;
    }
    return base.left(keep) + extension;
}

QString WithSuffix(const QString &name, int n, int maxBytes)
{
    const QString extension = Extension(name);
    const QString tag = QStringLiteral(" (%1)").arg(n);
    const QString base = CutToBytes(name.left(name.size() - extension.size()),
                                    maxBytes - int(tag.size() + extension.toUtf8().size()));
    return base + tag + extension;
}

} // namespace

QList<int> GroupMeters(Registry &registry, int group)
{
    QList<int> meters;
    const TreeModel model = BuildTreeModel(registry, false);
    const int start = model.FindGroupNode(group);
    if (start < 0)
        return meters;
    QList<int> stack { start };
    while (!stack.isEmpty()) {
        const TreeNode &node = model.nodes[stack.takeLast()];
        if (!node.IsGroup()) {
            meters.append(node.data);
            continue;
        }
        for (qsizetype i = node.children.size() - 1; i >= 0; --i)
            stack.append(node.children[i]);
    }
    return meters;
}

QString BatchFileName(
    const QString &pattern, const ReportMeter &meter, const QDateTime &from, const QDateTime &to, int maxBytes)
{
    QString name = pattern;
    name.replace(QStringLiteral("{serial}"), meter.serial.trimmed());
    name.replace(QStringLiteral("{name}"), meter.name.trimmed());
    name.replace(QStringLiteral("{abon}"), meter.abonNo.trimmed());
    name.replace(QStringLiteral("{from}"), from.date().toString(Qt::ISODate));
    name.replace(QStringLiteral("{to}"), to.date().toString(Qt::ISODate));
    name = SafePart(name).trimmed();
    while (name.endsWith(u'.') || name.endsWith(u' '))
        name.chop(1);
    if (name.startsWith(u'.'))
        name[0] = u'_';
    name = CutToBytes(name, maxBytes);
    return name.isEmpty() ? QStringLiteral("_") : name;
}

BatchResult BuildGroupReports(Registry &registry, int group, const ReportOptions &options, bool statement,
    const QString &outDir, const QString &pattern, bool overwrite, const BatchProgress &progress)
{
    BatchResult result;
    const QList<int> meters = GroupMeters(registry, group);
    QSet<QString> used;
    const QDir dir(outDir);
    QDir().mkpath(outDir); // when it cannot be made, each save says why
    const int maxBytes = FileNameLimit(outDir);
    for (qsizetype i = 0; i < meters.size(); ++i) {
        ReportOptions one = options;
        one.meter = ReadReportMeter(registry, meters[i]);
        one.selection.serial = one.meter.serial.trimmed();
        BatchItem item;
        item.meter = meters[i];
        item.serial = one.selection.serial;
        item.name = one.meter.name;
        if (progress && !progress(int(i), int(meters.size()), item.serial)) {
            result.cancelled = true;
            break;
        }
        const QString first = BatchFileName(pattern, one.meter, one.selection.from, one.selection.to, maxBytes);
        QString name = first;
        for (int n = 2; used.contains(name.toLower()); ++n)
            name = WithSuffix(first, n, maxBytes);
        used.insert(name.toLower());
        item.file = dir.filePath(name);

        quint16 serial = 0;
        if (!ParseSerial(item.serial, &serial)) {
            item.reason = QStringLiteral("серийный номер не число");
        } else if (!overwrite && QFileInfo::exists(item.file)) {
            item.reason = QStringLiteral("файл уже есть");
        } else {
            TWordDocument document;
            const QString refusal = statement ? BuildHeatStatement(one, document) : BuildProtocolReport(one, document);
            QString error;
            if (!refusal.isEmpty())
                item.reason = refusal;
            else if (!document.SaveAs(item.file, &error))
                item.reason = error;
            else
                item.written = true;
            item.notes = document.Notes();
        }
        result.items.append(item);
    }
    if (progress && !result.cancelled)
        progress(int(meters.size()), int(meters.size()), QString());
    return result;
}

QStringList BatchSummary(const BatchResult &result)
{
    QStringList lines;
    int written = 0;
    for (const BatchItem &item : result.items) {
        if (item.written) {
            ++written;
            lines << QStringLiteral("записан: %1").arg(QDir::toNativeSeparators(item.file));
            for (const QString &note : item.notes)
                lines << QStringLiteral("  ") + note;
        } else {
            lines << QStringLiteral("отказ: %1 (%2): %3").arg(item.serial, item.name, item.reason);
        }
    }
    lines << QStringLiteral("Записано документов: %1, отказов: %2%3")
                 .arg(written)
                 .arg(result.items.size() - written)
                 .arg(result.cancelled ? QStringLiteral(", прервано") : QString());
    return lines;
}

} // namespace qst
