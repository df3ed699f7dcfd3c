#pragma once

#include <QString>

#include <stdexcept>

namespace qst {

// A file or conversion error in storage or the registry. The message is written for the
// operator; callers log it (exchange thread) or show it (GUI command, import).
class StorageError : public std::runtime_error
{
public:
    explicit StorageError(const QString &message)
        : std::runtime_error(message.toStdString())
        , m_message(message)
    {
    }

    const QString &message() const { return m_message; }

private:
    QString m_message;
};

} // namespace qst
