#include "relayurl.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>

namespace {

constexpr qsizetype ShownUrlLength = 80;

// The part of `text` (after "scheme://") that names the host and port, and the rest.
void splitAuthority(const QString &text, QString &authority, QString &rest)
{
    qsizetype end = text.size();
    for (const QChar stop : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')}) {
        const qsizetype at = text.indexOf(stop);
        if (at >= 0)
            end = std::min(end, at);
    }
    authority = text.left(end);
    rest = text.mid(end);
}

} // namespace

QString relayUrlProblem(const QString &url)
{
    if (url.isEmpty())
        return QStringLiteral("empty");
    if (url.size() > MaxRelayUrlLength)
        return QStringLiteral("%1 characters, more than %2").arg(url.size()).arg(MaxRelayUrlLength);
    for (const QChar c : url) {
        if (c == QLatin1Char(' '))
            return QStringLiteral("it holds a space (write it as %20)");
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("it holds a control character");
        if (c.unicode() > 0x7e)
            return QStringLiteral("it holds a character outside ASCII (percent-encode it)");
    }
    const qsizetype separator = url.indexOf(QLatin1String("://"));
    if (separator < 0)
        return QStringLiteral("no scheme");
    const QString scheme = url.left(separator).toLower();
    static const QStringList schemes = {QStringLiteral("rtmp"), QStringLiteral("rtmps"), QStringLiteral("srt")};
    if (!schemes.contains(scheme)) {
        return scheme.isEmpty() ? QStringLiteral("no scheme")
                                : QStringLiteral("%1:// is no relay protocol").arg(scheme.left(16));
    }

    QString authority;
    QString rest;
    splitAuthority(url.mid(separator + 3), authority, rest);
    // user:password@ may come before the host; the password may hold any of ':', '[' or ']'.
    const QString hostPort = authority.mid(authority.lastIndexOf(QLatin1Char('@')) + 1);
    QString host;
    QString port;
    bool hasPort = false;
    if (hostPort.startsWith(QLatin1Char('['))) {
        const qsizetype close = hostPort.indexOf(QLatin1Char(']'));
        if (close < 0)
            return QStringLiteral("an IPv6 address whose '[' is not closed");
        host = hostPort.mid(1, close - 1);
        const QString after = hostPort.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            return QStringLiteral("'%1' after the IPv6 address").arg(after.left(16));
        hasPort = !after.isEmpty();
        port = after.mid(1);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return QStringLiteral("'%1' in brackets is no IPv6 address").arg(host.left(40));
    } else {
        const qsizetype colon = hostPort.indexOf(QLatin1Char(':'));
        if (colon >= 0 && hostPort.indexOf(QLatin1Char(':'), colon + 1) >= 0)
            return QStringLiteral("an IPv6 address must be written in brackets");
        host = colon < 0 ? hostPort : hostPort.left(colon);
        hasPort = colon >= 0;
        port = hostPort.mid(colon + 1);
        if (host.isEmpty())
            return QStringLiteral("no host");
        static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_.-]*[A-Za-z0-9_])?\\.?$"));
        if (!name.match(host).hasMatch() || host.contains(QLatin1String("..")))
            return QStringLiteral("'%1' is no host name").arg(host.left(40));
    }
    if (hasPort) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
        if (!digits.match(port).hasMatch() || port.toInt() < 1 || port.toInt() > 65535)
            return QStringLiteral("port '%1' is not from 1 to 65535").arg(port.left(16));
    }
    if (scheme == QLatin1String("srt")) {
        if (!hasPort)
            return QStringLiteral("srt:// needs a port");
    } else {
        // RTMP names an application on the relay and a stream in it: rtmp://HOST/APP/KEY. Without
        // either the relay turns the stream away, again and again.
        const QString path = rest.section(QLatin1Char('?'), 0, 0).section(QLatin1Char('#'), 0, 0);
        if (path.section(QLatin1Char('/'), 1, 1).isEmpty())
            return QStringLiteral("no application after the host");
        if (path.section(QLatin1Char('/'), 2).isEmpty())
            return QStringLiteral("no stream key after the application");
    }
    return {};
}

QString relayUrlError(const QString &option, const QString &url, const QString &problem)
{
    QString shown = url.left(ShownUrlLength);
    for (QChar &c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    }
    if (url.size() > ShownUrlLength)
        shown += QStringLiteral("...");
    return QStringLiteral("Invalid value for --%1: '%2' (%3; expected rtmp://HOST[:PORT]/APP/KEY, rtmps://... or "
                          "srt://HOST:PORT).")
        .arg(option, shown, problem);
}
