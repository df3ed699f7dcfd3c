#include "TextFile.h"

#include "StorageError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <mutex>

namespace qst {

namespace {

std::mutex g_faultMutex;
std::function<bool(const QString &)> g_saveFault;

bool SaveShouldFail(const QString &path)
{
    std::lock_guard lock(g_faultMutex);
    return g_saveFault && g_saveFault(path);
}

} // namespace

QString DecodeCp1251(QByteArrayView bytes)
{
    thread_local QStringDecoder decoder("windows-1251");
    decoder.resetState();
    return decoder.decode(bytes);
}

QByteArray EncodeCp1251(QStringView text)
{
    thread_local QStringEncoder encoder("windows-1251", QStringConverter::Flag::Stateless);
    encoder.resetState();
    return encoder.encode(text);
}

QByteArray ReadFileBytes(const QString &path, bool *exists)
{
    QFile file(path);
    if (!file.exists()) {
        if (exists)
            *exists = false;
        return {};
    }
    if (exists)
        *exists = true;
    if (!file.open(QIODevice::ReadOnly))
        throw StorageError(QStringLiteral("Не удалось открыть файл %1: %2")
                               .arg(QDir::toNativeSeparators(path), file.errorString()));
    return file.readAll();
}

QStringList SplitLines(const QByteArray &bytes)
{
    const QString text = DecodeCp1251(bytes);
    QStringList lines;
    lines.reserve(text.size() / 64 + 1);
    qsizetype start = 0;
    const qsizetype n = text.size();
    const QChar *data = text.constData();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = data[i];
        if (c == u'\n' || c == u'\r') {
            lines.append(text.sliced(start, i - start));
            if (c == u'\r' && i + 1 < n && data[i + 1] == u'\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines.append(text.sliced(start));
    return lines;
}

QStringList LoadLines(const QString &path)
{
    return SplitLines(ReadFileBytes(path));
}

void SaveFileBytes(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw StorageError(QStringLiteral("Не удалось записать файл %1: %2")
                               .arg(QDir::toNativeSeparators(path), file.errorString()));
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw StorageError(
            QStringLiteral("Не удалось записать файл %1: %2").arg(QDir::toNativeSeparators(path), reason));
    }
    if (SaveShouldFail(path)) {
        file.cancelWriting();
        throw StorageError(QStringLiteral("Не удалось записать файл %1: сбой записи")
                               .arg(QDir::toNativeSeparators(path)));
    }
    if (!file.commit())
        throw StorageError(QStringLiteral("Не удалось записать файл %1: %2")
                               .arg(QDir::toNativeSeparators(path), file.errorString()));
}

void SaveLines(const QString &path, const QStringList &lines)
{
    qsizetype size = 0;
    for (const QString &line : lines)
        size += line.size() + 2;
    QString text;
    text.reserve(size);
    for (const QString &line : lines) {
        text += line;
        text += QLatin1String("\r\n");
    }
    SaveFileBytes(path, EncodeCp1251(text));
}

void SetSaveFaultForTests(std::function<bool(const QString &path)> fault)
{
    std::lock_guard lock(g_faultMutex);
    g_saveFault = std::move(fault);
}

} // namespace qst
