#include "MailMessage.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimeZone>

namespace qst {

namespace {

bool HasControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control
            || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return true;
    }
    return false;
}

bool IsPlainAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    // Text that looks like an encoded word is encoded itself, so it reads back as typed.
    return !text.contains(QStringLiteral("=?"));
}

QByteArray Base64Lines(const QByteArray &bytes)
{
    const QByteArray all = bytes.toBase64();
    QByteArray out;
    out.reserve(all.size() + all.size() / 76 * 2 + 2);
    for (qsizetype i = 0; i < all.size(); i += 76)
        out += all.mid(i, 76) + "\r\n";
    return out;
}

QString ContentTypeFor(const MailAttachment &a)
{
    if (!a.contentType.isEmpty())
        return a.contentType;
    const QString name = a.fileName.toLower();
    if (name.endsWith(QStringLiteral(".docx")))
        return QStringLiteral("application/vnd.openxmlformats-officedocument.wordprocessingml.document");
    if (name.endsWith(QStringLiteral(".pdf")))
        return QStringLiteral("application/pdf");
    if (name.endsWith(QStringLiteral(".txt")))
        return QStringLiteral("text/plain");
    return QStringLiteral("application/octet-stream");
}

// RFC 2231 parameter: UTF-8 percent-encoded except attribute characters, in numbered
// continuations short enough for one header line each.
QByteArray Rfc2231Parameter(const QByteArray &name, const QString &text)
{
    QByteArray out;
    for (const char ch : text.toUtf8()) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'
            || c == '_')
            out += char(c);
        else
            out += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
    }
    QList<QByteArray> pieces;
    for (qsizetype i = 0; i < out.size();) {
        qsizetype n = std::min<qsizetype>(54, out.size() - i);
        // Never split a %XX.
        if (i + n < out.size() && n >= 2 && out[i + n - 1] == '%')
            n -= 1;
        else if (i + n < out.size() && n >= 2 && out[i + n - 2] == '%')
            n -= 2;
        pieces << out.mid(i, n);
        i += n;
    }
    if (pieces.isEmpty())
        pieces << QByteArray();
    QByteArray param;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        param += (i ? ";\r\n " : " ") + name + '*' + QByteArray::number(i) + "*=" + (i ? QByteArray() : "UTF-8''")
            + pieces[i];
    }
    return param;
}

QByteArray RandomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    for (char &c : raw)
        c = char(QRandomGenerator::system()->bounded(256));
    return raw.toHex();
}

} // namespace

QString MailAddressError(const QString &address)
{
    if (address.isEmpty())
        return QStringLiteral("пустой адрес почты");
    if (HasControl(address))
        return QStringLiteral("адрес почты содержит перевод строки или управляющий символ");
    if (address.size() > 254)
        return QStringLiteral("адрес почты длиннее 254 символов");
    // One mailbox, nothing a header or the SMTP envelope could read as more than that.
    static const QRegularExpression re(QStringLiteral(
        "^[A-Za-z0-9.!#$%&'*+/=?^_`{|}~-]+@[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
        "(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    if (!re.match(address).hasMatch() || address.startsWith(u'.') || address.contains(QStringLiteral(".."))
        || address.section(u'@', 0, 0).endsWith(u'.') || address.section(u'@', 0, 0).size() > 64)
        return QStringLiteral("неверный адрес почты: %1").arg(address);
    return {};
}

QString HeaderTextError(const QString &text)
{
    if (HasControl(text))
        return QStringLiteral("перевод строки или управляющий символ в заголовке письма не допускается");
    return {};
}

QStringList ParseMailList(const QString &text, QString *error)
{
    QStringList out;
    for (const QString &part : text.split(QRegularExpression(QStringLiteral("[,;]")), Qt::SkipEmptyParts)) {
        // Blanks around an item are the list's, not the address's; a line break is refused.
        QString a = part;
        while (!a.isEmpty() && a.front() == u' ')
            a.remove(0, 1);
        while (!a.isEmpty() && a.back() == u' ')
            a.chop(1);
        if (a.isEmpty())
            continue;
        if (const QString e = MailAddressError(a); !e.isEmpty()) {
            if (error)
                *error = e;
            return {};
        }
        if (!out.contains(a, Qt::CaseInsensitive))
            out << a;
    }
    return out;
}

QByteArray EncodeHeaderWords(const QString &text)
{
    if (IsPlainAscii(text) && text.size() <= 900)
        return text.toUtf8();
    // Each word holds whole characters: at most 39 bytes of UTF-8 keeps the header line under 78 characters.
    QByteArray out;
    QByteArray chunk;
    const auto flush = [&] {
        if (chunk.isEmpty())
            return;
        if (!out.isEmpty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + chunk.toBase64() + "?=";
        chunk.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        QString one = text.mid(i, 1);
        if (text[i].isHighSurrogate() && i + 1 < text.size())
            one = text.mid(i++, 2);
        const QByteArray bytes = one.toUtf8();
        if (chunk.size() + bytes.size() > 39)
            flush();
        chunk += bytes;
    }
    flush();
    return out;
}

QByteArray BuildMimeMessage(const MailSettings &settings, const MailMessage &message, const QDateTime &now,
    QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return QByteArray();
    };
    if (const QString e = MailAddressError(settings.from); !e.isEmpty())
        return fail(QStringLiteral("отправитель: ") + e);
    if (message.to.isEmpty())
        return fail(QStringLiteral("нет получателей"));
    for (const QString &to : message.to) {
        if (const QString e = MailAddressError(to); !e.isEmpty())
            return fail(e);
    }
    if (const QString e = HeaderTextError(message.subject); !e.isEmpty())
        return fail(QStringLiteral("тема: ") + e);
    for (const MailAttachment &a : message.attachments) {
        if (const QString e = HeaderTextError(a.fileName); !e.isEmpty() || a.fileName.isEmpty())
            return fail(QStringLiteral("имя вложения: ") + (e.isEmpty() ? QStringLiteral("пустое") : e));
        if (HasControl(a.contentType) || a.contentType.contains(u';'))
            return fail(QStringLiteral("тип вложения: ") + a.contentType);
    }

    const QByteArray boundary = "=_qst_" + RandomHex(12);
    const QString domain = settings.from.section(u'@', 1);
    QByteArray m;
    m += "Date: " + QLocale::c().toString(now, QStringLiteral("ddd, d MMM yyyy HH:mm:ss ")).toLatin1();
    const int offset = now.offsetFromUtc() / 60;
    m += QByteArray(offset < 0 ? "-" : "+") + QByteArray::number(qAbs(offset) / 60).rightJustified(2, '0')
        + QByteArray::number(qAbs(offset) % 60).rightJustified(2, '0') + "\r\n";
    m += "From: " + settings.from.toUtf8() + "\r\n";
    m += "To: " + message.to.join(QStringLiteral(",\r\n ")).toUtf8() + "\r\n";
    m += "Subject: " + EncodeHeaderWords(message.subject) + "\r\n";
    m += "Message-ID: <" + QByteArray::number(now.toSecsSinceEpoch()) + '.' + RandomHex(8) + '@' + domain.toUtf8()
        + ">\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n";
    m += "\r\n";
    m += "This is a multi-part message in MIME format.\r\n";
    m += "--" + boundary + "\r\n";
    m += "Content-Type: text/plain; charset=UTF-8\r\n";
    m += "Content-Transfer-Encoding: base64\r\n\r\n";
    QString body = message.body;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\n', QStringLiteral("\r\n"));
    m += Base64Lines(body.toUtf8());
    for (const MailAttachment &a : message.attachments) {
        const QByteArray name = EncodeHeaderWords(a.fileName);
        const bool plain = IsPlainAscii(a.fileName) && !a.fileName.contains(u'"') && !a.fileName.contains(u'\\');
        const QByteArray quoted = plain ? a.fileName.toUtf8() : name;
        m += "--" + boundary + "\r\n";
        m += "Content-Type: " + ContentTypeFor(a).toLatin1() + ";\r\n name=\"" + quoted + "\"\r\n";
        m += "Content-Disposition: attachment;\r\n" + Rfc2231Parameter("filename", a.fileName) + "\r\n";
        m += "Content-Transfer-Encoding: base64\r\n\r\n";
        m += Base64Lines(a.bytes);
    }
    m += "--" + boundary + "--\r\n";
    return m;
}

QString MaskSecrets(QString text, const QStringList &secrets)
{
    for (const QString &s : secrets) {
        if (!s.isEmpty())
            text.replace(s, QStringLiteral("***"));
    }
    return text;
}

} // namespace qst
