#include "DocumentProtection.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace qst::docx {

QByteArray ProtectionHash(const QString &password, const QByteArray &salt)
{
    // ISO/IEC 29500-1 17.15.1.29: H0 = SHA-512(salt + password as UTF-16LE),
    // Hn = SHA-512(Hn-1 + n as 32-bit little endian), n from 0.
    QByteArray input = salt;
    for (QChar c : password) {
        const char16_t u = c.unicode();
        input.append(char(u & 0xFF));
        input.append(char(u >> 8));
    }
    QByteArray h = QCryptographicHash::hash(input, QCryptographicHash::Sha512);
    QCryptographicHash hasher(QCryptographicHash::Sha512);
    char counter[4];
    for (quint32 i = 0; i < quint32(kProtectionSpinCount); ++i) {
        counter[0] = char(i & 0xFF);
        counter[1] = char((i >> 8) & 0xFF);
        counter[2] = char((i >> 16) & 0xFF);
        counter[3] = char((i >> 24) & 0xFF);
        hasher.reset();
        hasher.addData(h);
        hasher.addData(QByteArrayView(counter, 4));
        h = hasher.result();
    }
    return h;
}

QByteArray ProtectionSalt()
{
    QByteArray salt(kProtectionSaltLength, '\0');
    QRandomGenerator::system()->generate(salt.begin(), salt.end());
    return salt;
}

} // namespace qst::docx
