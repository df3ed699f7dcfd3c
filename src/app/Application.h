#pragma once

#include <QApplication>

namespace qst {

// The application object: an error that escapes an operator's command reaches the event
// loop here, is shown, and the program goes on.
class TApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override;
};

// Loads Qt's own Russian texts ("Отмена", "Закрыть", "Подробнее...") from Qt's translations
// folder, whatever the process locale: the application speaks Russian only. False when the
// file is not there (the buttons then stay English).
bool InstallQtRussianTranslation(QCoreApplication &app);

} // namespace qst
