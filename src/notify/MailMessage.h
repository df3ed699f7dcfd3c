#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace qst {

// Where and how mail leaves: kept in the data root's Mail.ini; the password only as the path
// of a file that holds it.
struct MailSettings
{
    QString host;
    int port = 587;
    QString security = QStringLiteral("starttls"); // starttls, tls or none
    QString from;                                  // the sender's address
    QString user;                                  // empty: no login
    QString passwordFile;                          // the file holding the password (mode 0600)
    QString caFile;                                // extra trusted certificates; empty: the system's
    bool verifyPeer = true;                        // certificates are checked unless turned off
    int timeoutSeconds = 60;

    bool IsSet() const { return !host.isEmpty() && !from.isEmpty(); }
};

struct MailAttachment
{
    QString fileName; // as the recipient sees it (UTF-8 allowed)
    QByteArray bytes;
    QString contentType; // empty: by the name's extension
};

struct MailMessage
{
    QStringList to;
    QString subject;
    QString body;
    QList<MailAttachment> attachments;
};

// Why an address cannot be a recipient or sender (empty when it can): one plain
// local@domain address, no display name, no blanks, no CR/LF or other control characters.
QString MailAddressError(const QString &address);

// Why a text cannot go into a header (CR, LF or another control character); empty when it can.
QString HeaderTextError(const QString &text);

// "a@x, b@y" or "a@x;b@y" into addresses; each checked, the first fault in *error.
QStringList ParseMailList(const QString &text, QString *error);

// A header value in RFC 2047 encoded words (UTF-8, base64) when it is not plain ASCII,
// folded so no line passes 76 characters.
QByteArray EncodeHeaderWords(const QString &text);

// The message as sent: Date, From, To, Subject, Message-ID, MIME-Version, a multipart/mixed
// body with the text (UTF-8, base64) and each attachment (base64, its name encoded both ways:
// RFC 2231 and RFC 2047), CR LF line ends. Empty with the reason in *error when an address or
// a header text is refused.
QByteArray BuildMimeMessage(const MailSettings &settings, const MailMessage &message, const QDateTime &now,
    QString *error);

// The text with every secret given replaced by "***" (log lines, errors, status).
QString MaskSecrets(QString text, const QStringList &secrets);

} // namespace qst
