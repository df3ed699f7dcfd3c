#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace qst::test {

// A certificate authority of the test's own and a server certificate it signed for
// 127.0.0.1 and localhost, made with openssl in `folder`.
struct TestCa
{
    QString caFile, certFile, keyFile;
    QString error; // empty when every file was made

    explicit TestCa(const QString &folder)
        : caFile(folder + QStringLiteral("/ca.pem"))
        , certFile(folder + QStringLiteral("/server.pem"))
        , keyFile(folder + QStringLiteral("/server.key"))
    {
        const QString caKey = folder + QStringLiteral("/ca.key");
        const QString request = folder + QStringLiteral("/server.csr");
        const QString extensions = folder + QStringLiteral("/server.ext");
        QFile ext(extensions);
        ext.open(QIODevice::WriteOnly);
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                  "extendedKeyUsage=serverAuth\n");
        ext.close();
        const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        Openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
                + QStringList{QStringLiteral("-keyout"), caKey, QStringLiteral("-out"), caFile, QStringLiteral("-days"),
                              QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=QST test CA"),
                              QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                              QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
        Openssl(QStringList{QStringLiteral("req")} + ec
                + QStringList{QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"), request,
                              QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")});
        Openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request, QStringLiteral("-CA"),
                 caFile, QStringLiteral("-CAkey"), caKey, QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                 certFile, QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), extensions});
        // The broker drops root for its own user, which must still read its key.
        QFile::setPermissions(keyFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther
                                           | QFileDevice::ReadGroup);
    }
    bool ok() const { return error.isEmpty(); }

private:
    void Openssl(const QStringList &args)
    {
        if (!error.isEmpty())
            return;
        QProcess p;
        p.start(QStringLiteral("openssl"), args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            error = QStringLiteral("openssl %1: %2").arg(args.first(), QString::fromUtf8(p.readAllStandardError()));
    }
};

} // namespace qst::test
