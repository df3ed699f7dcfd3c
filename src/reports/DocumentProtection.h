#pragma once

#include <QByteArray>
#include <QString>

namespace qst::docx {

// Spin count and salt length of the document protection's password hash.
constexpr int kProtectionSpinCount = 100000;
constexpr int kProtectionSaltLength = 16;

// The password hash a document's protection stores (SHA-512, salted, spun).
QByteArray ProtectionHash(const QString &password, const QByteArray &salt);

// A fresh random salt.
QByteArray ProtectionSalt();

} // namespace qst::docx
