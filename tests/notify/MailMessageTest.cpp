// The message as it leaves: addresses, header values, encoded words, the MIME parts.
#include "notify/MailMessage.h"
#include "notify/MailOutbox.h"
#include "notify/ScheduleRunner.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace qst;

namespace {

MailSettings Settings()
{
    MailSettings s;
    s.host = QStringLiteral("127.0.0.1");
    s.from = QStringLiteral("archiver@example.org");
    return s;
}

// Decodes the encoded words of a header value back to text (independent of the encoder:
// split on the word syntax, base64 each).
QString DecodeWords(const QByteArray &value)
{
    static const QRegularExpression word(QStringLiteral("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?="));
    QByteArray bytes;
    auto it = word.globalMatch(QString::fromLatin1(value));
    while (it.hasNext())
        bytes += QByteArray::fromBase64(it.next().captured(1).toLatin1());
    return QString::fromUtf8(bytes);
}

QByteArray HeaderOf(const QByteArray &mime, const QByteArray &name)
{
    const qsizetype start = mime.indexOf("\r\n" + name + ": ");
    const qsizetype from = start < 0 && mime.startsWith(name + ": ") ? 0 : start + 2;
    if (start < 0 && from != 0)
        return {};
    qsizetype end = mime.indexOf("\r\n", from);
    while (end >= 0 && end + 2 < mime.size() && mime[end + 2] == ' ')
        end = mime.indexOf("\r\n", end + 2);
    return mime.mid(from + name.size() + 2, end - from - name.size() - 2);
}

} // namespace

TEST(MailAddress, AcceptsPlainMailboxesOnly)
{
    const struct
    {
        const char *address;
        bool ok;
    } cases[] = {
        {"op@example.org", true},
        {"first.last+tag@mail.example.co", true},
        {"a@b", true},
        {"", false},
        {"no-at-sign", false},
        {"two@@example.org", false},
        {"op@example.org\r\nBcc: spy@example.org", false},
        {"op@example.org\nBcc: spy@example.org", false},
        {"op@exa mple.org", false},
        {"Оператор <op@example.org>", false},
        {"<op@example.org>", false},
        {".op@example.org", false},
        {"op.@example.org", false},
        {"o..p@example.org", false},
        {"op@-example.org", false},
        {"op@example.org,spy@example.org", false},
        {"op@example.org>\r\nRCPT TO:<spy@example.org", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(MailAddressError(QString::fromUtf8(c.address)).isEmpty(), c.ok) << c.address;
    EXPECT_FALSE(MailAddressError(QString(250, u'a') + QStringLiteral("@b.org")).isEmpty());
}

TEST(MailAddress, ListsSplitTrimAndRefuseTheWhole)
{
    QString error;
    EXPECT_EQ(ParseMailList(QStringLiteral("a@x.org, b@y.org;A@x.org"), &error),
        (QStringList{QStringLiteral("a@x.org"), QStringLiteral("b@y.org")}));
    EXPECT_TRUE(error.isEmpty());
    EXPECT_TRUE(ParseMailList(QStringLiteral("a@x.org, b@y.org\r\nBcc: c@z.org"), &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

TEST(MailMessage, HeaderInjectionIsRefused)
{
    const MailSettings settings = Settings();
    const QDateTime now(QDate(2026, 12, 1), QTime(6, 0));
    struct Case
    {
        const char *what;
        MailMessage message;
        MailSettings settings;
    };
    MailMessage good;
    good.to = {QStringLiteral("op@example.org")};
    good.subject = QStringLiteral("Ведомость");
    QList<Case> cases;
    {
        Case c{"subject CR LF", good, settings};
        c.message.subject = QStringLiteral("Ведомость\r\nBcc: spy@example.org");
        cases << c;
    }
    {
        Case c{"subject LF", good, settings};
        c.message.subject = QStringLiteral("x\nBcc: spy@example.org");
        cases << c;
    }
    {
        Case c{"subject unicode line separator", good, settings};
        c.message.subject = QStringLiteral("x") + QChar(0x2028) + QStringLiteral("Bcc: spy@example.org");
        cases << c;
    }
    {
        Case c{"recipient", good, settings};
        c.message.to = {QStringLiteral("op@example.org\r\nBcc: spy@example.org")};
        cases << c;
    }
    {
        Case c{"sender", good, settings};
        c.settings.from = QStringLiteral("archiver@example.org\r\nBcc: spy@example.org");
        cases << c;
    }
    {
        Case c{"attachment name", good, settings};
        c.message.attachments << MailAttachment{QStringLiteral("a.docx\r\nContent-Type: text/html"), "x", {}};
        cases << c;
    }
    {
        Case c{"no recipient", good, settings};
        c.message.to.clear();
        cases << c;
    }
    for (const Case &c : cases) {
        QString error;
        EXPECT_TRUE(BuildMimeMessage(c.settings, c.message, now, &error).isEmpty()) << c.what;
        EXPECT_FALSE(error.isEmpty()) << c.what;
    }
    QString error;
    EXPECT_FALSE(BuildMimeMessage(settings, good, now, &error).isEmpty()) << error.toStdString();
}

TEST(MailMessage, EncodedSubjectAndNamesReadBackAndStayShort)
{
    MailMessage m;
    m.to = {QStringLiteral("op@example.org"), QStringLiteral("boss@example.org")};
    m.subject = QStringLiteral("Ведомость за ноябрь 2026: Котельная №3 «Северная» (№ 100) — ") + QString(u'я').repeated(60)
        + QStringLiteral(" \U0001F600 =?UTF-8?B?x?=");
    m.body = QStringLiteral("Строка 1\nСтрока 2");
    m.attachments << MailAttachment{QStringLiteral("100 Котельная №3 2026-11-01.docx"), QByteArray(1000, '\x01'), {}};
    m.attachments << MailAttachment{QStringLiteral("plain.pdf"), QByteArray("%PDF"), {}};
    const QDateTime now(QDate(2026, 12, 1), QTime(6, 0, 5));
    QString error;
    const QByteArray mime = BuildMimeMessage(Settings(), m, now, &error);
    ASSERT_FALSE(mime.isEmpty()) << error.toStdString();

    EXPECT_EQ(DecodeWords(HeaderOf(mime, "Subject")), m.subject);
    for (const QByteArray &line : mime.split('\n')) {
        // 998 is the limit; our own folded and encoded lines keep to the 78 advised.
        EXPECT_LE(line.size(), line.startsWith("Content-Type: application/") ? 998 : 78) << line.constData();
        EXPECT_TRUE(line.isEmpty() || line.endsWith('\r')) << "bare LF in " << line.constData();
    }
    for (char c : mime)
        EXPECT_LT(static_cast<unsigned char>(c), 0x80) << "8-bit byte in the message";
    EXPECT_EQ(HeaderOf(mime, "To"), QByteArray("op@example.org,\r\n boss@example.org"));
    EXPECT_EQ(HeaderOf(mime, "Date"), QByteArray("Tue, 1 Dec 2026 06:00:05 +0300")); // TZ Europe/Moscow
    EXPECT_TRUE(HeaderOf(mime, "Message-ID").endsWith("@example.org>"));
    EXPECT_TRUE(HeaderOf(mime, "Content-Type").startsWith("multipart/mixed; boundary="));
    // The attachment's name both ways: RFC 2231 percent-encoded UTF-8, RFC 2047 in name=.
    EXPECT_TRUE(mime.contains("filename*0*=UTF-8''100%20%D0%9A%D0%BE%D1%82"));
    EXPECT_TRUE(mime.contains(";\r\n filename*1*="));
    EXPECT_TRUE(mime.contains("name=\"plain.pdf\""));
    EXPECT_TRUE(mime.contains(QByteArray(1000, '\x01').toBase64().left(76)));
    EXPECT_TRUE(mime.endsWith("--\r\n"));
}

TEST(MailMessage, SecretsAreMasked)
{
    EXPECT_EQ(MaskSecrets(QStringLiteral("login s3cr3t failed for s3cr3t"), {QStringLiteral("s3cr3t"), QString()}),
        QStringLiteral("login *** failed for ***"));
}

TEST(MailTemplate, FillsEachFieldOnce)
{
    const TemplateValues v{QStringLiteral("100"), QStringLiteral("Котельная {serial}"), QStringLiteral("A-17"),
        QStringLiteral("01.11.2026"), QStringLiteral("30.11.2026"), QStringLiteral("ноябрь 2026")};
    EXPECT_EQ(FillTemplate(QStringLiteral("{period}: {name} №{serial} ({consumer}) {from}–{to} {unknown} {"), v),
        QStringLiteral("ноябрь 2026: Котельная {serial} №100 (A-17) 01.11.2026–30.11.2026 {unknown} {"));
}

TEST(MailOutbox, BackOffDoublesUpToAnHour)
{
    const int expected[] = {0, 60, 120, 240, 480, 960, 1920, 3600, 3600, 3600};
    for (int attempts = 0; attempts < 10; ++attempts)
        EXPECT_EQ(MailOutbox::BackoffSeconds(attempts), expected[attempts]) << attempts;
    EXPECT_EQ(MailOutbox::BackoffSeconds(1000), 3600);
}
