#pragma once

#include "notify/MailMessage.h"

namespace qst {

// Mail.ini in the data root, section [Mail]: Host, Port, Security, From, User, PasswordFile,
// CaFile, VerifyPeer. The password itself is never stored.
QString MailSettingsPath(const QString &dataRoot);
MailSettings ReadMailSettings(const QString &dataRoot);
void WriteMailSettings(const QString &dataRoot, const MailSettings &settings); // throws StorageError

// Why the settings cannot be used (host, port, security, sender); empty when they can.
QString MailSettingsError(const MailSettings &settings);

} // namespace qst
