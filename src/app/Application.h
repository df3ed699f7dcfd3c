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

} // namespace qst
