#pragma once

#include "notify/MailMessage.h"

#include <QString>

namespace qst {

// One mail to an SMTP server through libcurl: STARTTLS (required, never silently plain), TLS
// from the first byte (smtps) or plain; login when a user is set; certificates verified
// unless the settings turn it off. Safe to use from any thread; one call is one session.
class MailSender
{
public:
    enum Result {
        Accepted = 0,
        Refused = 1,     // the message or the settings are unusable: retrying will not help
        Temporary = 2,   // network, TLS or a 4xx answer: worth retrying
        Rejected = 3,    // the server answered 5xx
    };

    // Accepted when the server took the message for every recipient; otherwise the reason in
    // *error with the password masked.
    int Send(const MailSettings &settings, const MailMessage &message, QString *error);

    // The same with a message already built (the outbox keeps built messages).
    int SendBuilt(const MailSettings &settings, const QStringList &recipients, const QByteArray &mime, QString *error);
};

// The password named by the settings; empty when none is needed. False with the reason when
// the file cannot be read. A file readable by group or others gives a warning in *warning.
bool ReadMailPassword(const MailSettings &settings, QString *password, QString *error, QString *warning = nullptr);

} // namespace qst
