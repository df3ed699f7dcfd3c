#include "Application.h"

#include "common/StorageError.h"

#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>

#include <exception>

namespace qst {

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    QString message;
    try {
        return QApplication::notify(receiver, event);
    } catch (const StorageError &e) {
        message = e.message();
    } catch (const std::exception &e) {
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        message = QStringLiteral("?");
    }
    QMessageBox box(QMessageBox::Critical, applicationName(), message, QMessageBox::Ok, activeWindow());
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.exec();
    return false;
}

bool InstallQtRussianTranslation(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace qst
