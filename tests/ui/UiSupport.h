#pragma once

#include "common/DataRoot.h"
#include "support/TempDataRoot.h"

#include <QApplication>
#include <QFile>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace qst::test {

// Runs `action` once the modal window named `name` is the active modal window; the test's
// own call that opens it then returns when the action closes it.
inline void OnModal(const QString &name, std::function<void(QWidget *)> action)
{
    auto *timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, name, action] {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || w->objectName() != name || !w->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        action(w);
    });
    timer->start();
}

// Saves a picture of the window into $QST_UI_SCREENSHOTS when that is set, to look at it.
inline void Screenshot(QWidget *window, const QString &name)
{
    const QString dir = qEnvironmentVariable("QST_UI_SCREENSHOTS");
    if (!dir.isEmpty())
        window->grab().save(dir + u'/' + name + QStringLiteral(".png"));
}

inline void CopyFixtureTree(const TempDataRoot &root)
{
    QFile::remove(TreeIniPath(root.path()));
    ASSERT_TRUE(QFile::copy(QStringLiteral(QST_TEST_DATA_DIR "/Tree.ini"), TreeIniPath(root.path())));
    QFile::setPermissions(TreeIniPath(root.path()), QFile::ReadOwner | QFile::WriteOwner);
}

} // namespace qst::test
