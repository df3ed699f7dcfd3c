#pragma once

#include "common/DataRoot.h"
#include "common/TextFile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace qst::test {

// A fresh data root with its DATA folder, removed with the test.
class TempDataRoot
{
public:
    TempDataRoot()
    {
        EXPECT_TRUE(m_dir.isValid());
        QDir(m_dir.path()).mkdir(QStringLiteral("DATA"));
    }

    QString path() const { return m_dir.path(); }
    QString file(const QString &relative) const { return m_dir.path() + u'/' + relative; }

private:
    QTemporaryDir m_dir;
};

inline QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline void WriteAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace qst::test
