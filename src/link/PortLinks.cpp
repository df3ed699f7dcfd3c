#include "link/PortLinks.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "link/QtSerialPortLink.h"
#include "link/TcpLink.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace qst {

namespace {

const QString kPortsSection = QStringLiteral("PORTS");
const QString kTcpScheme = QStringLiteral("tcp://");

bool IsHostName(const QString &host)
{
    // Labels of letters, digits and hyphens, not starting or ending with a hyphen.
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    if (host.size() > 253)
        return false;
    const QStringList labels = host.endsWith(u'.') ? host.chopped(1).split(u'.') : host.split(u'.');
    for (const QString &l : labels)
        if (!label.match(l).hasMatch())
            return false;
    return true;
}

bool IsDottedNumbers(const QString &host)
{
    static const QRegularExpression dotted(QStringLiteral("^[0-9.]+$"));
    return dotted.match(host).hasMatch();
}

} // namespace

bool IsNetworkAddress(const QString &text)
{
    return text.trimmed().contains(QStringLiteral("://"));
}

QString TcpAddressProblem(const QString &text, TcpAddress *address)
{
    const QString t = text.trimmed();
    const QString form = QStringLiteral("адрес пишется как tcp://узел:порт");
    if (!t.startsWith(kTcpScheme, Qt::CaseInsensitive))
        return QStringLiteral("«%1»: неизвестный вид связи, %2").arg(t, form);
    const QString rest = t.mid(kTcpScheme.size());
    static const QRegularExpression forbidden(QStringLiteral("[/?#@\\s]"));
    if (rest.contains(forbidden))
        return QStringLiteral("«%1»: лишние части после порта, %2").arg(t, form);

    QString host;
    QString portText;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0)
            return QStringLiteral("«%1»: нет закрывающей скобки адреса IPv6").arg(t);
        host = rest.mid(1, close - 1);
        QHostAddress v6;
        if (!v6.setAddress(host) || v6.protocol() != QAbstractSocket::IPv6Protocol)
            return QStringLiteral("«%1»: «%2» не адрес IPv6").arg(t, host);
        if (rest.mid(close + 1, 1) != QStringLiteral(":"))
            return QStringLiteral("«%1»: не указан порт, %2").arg(t, form);
        portText = rest.mid(close + 2);
    } else {
        const qsizetype colon = rest.lastIndexOf(u':');
        if (colon < 0)
            return QStringLiteral("«%1»: не указан порт, %2").arg(t, form);
        host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (host.contains(u':'))
            return QStringLiteral("«%1»: адрес IPv6 пишется в квадратных скобках: tcp://[::1]:порт").arg(t);
        if (host.isEmpty())
            return QStringLiteral("«%1»: не указан узел, %2").arg(t, form);
        QHostAddress v4;
        const bool badHost = IsDottedNumbers(host)
            ? !(v4.setAddress(host) && v4.protocol() == QAbstractSocket::IPv4Protocol && host.count(u'.') == 3)
            : !IsHostName(host);
        if (badHost)
            return QStringLiteral("«%1»: «%2» не имя узла и не адрес").arg(t, host);
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const int port = digits.match(portText).hasMatch() ? portText.toInt() : 0;
    if (port < 1 || port > 65535)
        return QStringLiteral("«%1»: порт должен быть числом от 1 до 65535").arg(t);
    if (address) {
        address->host = host;
        address->port = static_cast<quint16>(port);
    }
    return {};
}

QString PortMappingProblem(const QString &text)
{
    return IsNetworkAddress(text) ? TcpAddressProblem(text) : QString();
}

QString SerialDeviceProblem(const QString &text)
{
    const QString t = text.trimmed();
#ifdef Q_OS_WIN
    static const QRegularExpression name(QStringLiteral("^COM[0-9]{1,3}$"),
                                         QRegularExpression::CaseInsensitiveOption);
    if (name.match(t).hasMatch())
        return {};
    return QStringLiteral("«%1»: не имя порта (COM1) и не адрес tcp://узел:порт").arg(t);
#else
    // A path of a device or the name Qt finds under /dev: no spaces, no control characters.
    static const QRegularExpression path(QStringLiteral("^/[^\\s]*[^/\\s]$"));
    static const QRegularExpression name(QStringLiteral("^(tty|cu|rfcomm)[A-Za-z0-9._-]*$"));
    if (path.match(t).hasMatch() || name.match(t).hasMatch())
        return {};
    return QStringLiteral("«%1»: не путь к устройству (/dev/ttyUSB0) и не адрес tcp://узел:порт").arg(t);
#endif
}

QString FastFramingKey(int portNumber)
{
    return QStringLiteral("Fast%1").arg(portNumber);
}

bool PortFastFraming(const QString &dataRoot, int portNumber)
{
    ProfileFile tree(TreeIniPath(dataRoot));
    return tree.ReadInteger(kPortsSection, FastFramingKey(portNumber), 0) != 0;
}

std::unique_ptr<SerialPort> MakePortLink(int portNumber, const QString &dataRoot)
{
    const QString mapped = QtSerialPortLink::DevicePath(dataRoot, portNumber);
    std::unique_ptr<SerialPort> link;
    if (IsNetworkAddress(mapped))
        link = std::make_unique<TcpLink>(portNumber, mapped);
    else
        link = std::make_unique<QtSerialPortLink>(portNumber, dataRoot);
    link->SetFastFraming(PortFastFraming(dataRoot, portNumber));
    return link;
}

} // namespace qst
