#include "checks/HealthCheckSpec.h"

#include "base/RuntimeError.h"
#include "base/TaskCommand.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

// Longer than any sensible check, short enough for a timer's int milliseconds.
constexpr qint64 longestMs = 24LL * 3600 * 1000;
constexpr int mostRetries = 1000;

const QString intervalKey = QStringLiteral("check_interval");
const QString timeoutKey = QStringLiteral("check_timeout");
const QString retriesKey = QStringLiteral("check_retries");
const QString graceKey = QStringLiteral("check_grace");

// A port 1 to 65535; 0 with *error set otherwise.
quint16 portOf(const QString& text, QString* error) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch()) {
        *error = QStringLiteral("the port '%1' is not a number").arg(text);
        return 0;
    }
    const int port = text.toInt();
    if (port < 1 || port > 65535) {
        *error = QStringLiteral("the port %1 is out of range (1 to 65535)").arg(port);
        return 0;
    }
    return static_cast<quint16>(port);
}

// HOST:PORT, [IPV6]:PORT, or HOST alone when a default port is given.
bool hostAndPort(const QString& text, int defaultPort, QString& host, quint16& port,
                 QString* error) {
    QString rest;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        host = text.mid(1, close - 1);
        rest = text.mid(close + 1);
        if (close < 0 || QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol) {
            *error = QStringLiteral("malformed address '%1'").arg(text);
            return false;
        }
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':'))) {
            *error = QStringLiteral("malformed address '%1'").arg(text);
            return false;
        }
        rest = rest.mid(1);
    } else {
        const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
        host = colon < 0 ? text : text.left(colon);
        rest = colon < 0 ? QString() : text.mid(colon + 1);
        static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9._-]+$"));
        if (!name.match(host).hasMatch()) {
            *error = QStringLiteral("malformed host '%1'").arg(host);
            return false;
        }
        if (colon < 0 && defaultPort == 0) {
            *error = QStringLiteral("no port in '%1'").arg(text);
            return false;
        }
    }
    if (rest.isEmpty() && defaultPort != 0) {
        port = static_cast<quint16>(defaultPort);
        return true;
    }
    port = portOf(rest, error);
    return port != 0;
}

bool parseTcp(const QString& rest, HealthCheckSpec& definition, QString* error) {
    definition.kind = HealthCheckSpec::Kind::Tcp;
    if (!rest.contains(QLatin1Char(':')) && !rest.startsWith(QLatin1Char('['))) {
        definition.host = QStringLiteral("127.0.0.1");
        definition.port = portOf(rest, error);
        return definition.port != 0;
    }
    return hostAndPort(rest, 0, definition.host, definition.port, error);
}

bool parseHttp(const QString& rest, HealthCheckSpec& definition, QString* error) {
    definition.kind = HealthCheckSpec::Kind::Http;
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    const QString authority = slash < 0 ? rest : rest.left(slash);
    QString target = slash < 0 ? QStringLiteral("/") : rest.mid(slash);
    if (authority.contains(QLatin1Char('@'))) {
        *error = QStringLiteral("a user name or password in the URL is not supported");
        return false;
    }
    if (const qsizetype hash = target.indexOf(QLatin1Char('#')); hash >= 0)
        target.truncate(hash);
    // The target goes into the request line as it stands: nothing may end or split that line.
    for (const QChar c : target) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f) {
            *error = QStringLiteral("the URL path holds a blank, a control or a non-ASCII "
                                    "character (percent-encode it)");
            return false;
        }
    }
    definition.target = target.toLatin1();
    return hostAndPort(authority, 80, definition.host, definition.port, error);
}

bool parseExec(const QString& rest, HealthCheckSpec& definition, QString* error) {
    definition.kind = HealthCheckSpec::Kind::Exec;
    try {
        definition.command = splitTaskCommand(rest);
    } catch (const RuntimeError& e) {
        *error = e.description();
        return false;
    }
    if (definition.command.isEmpty()) {
        *error = QStringLiteral("no probe command");
        return false;
    }
    const QString& program = definition.command.first();
    QString found;
    if (program.contains(QLatin1Char('/'))) {
        const QFileInfo file(program);
        if (file.isFile() && file.isExecutable())
            found = file.absoluteFilePath();
    } else {
        found = QStandardPaths::findExecutable(program);
    }
    if (found.isEmpty()) {
        *error = QStringLiteral("the probe program '%1' cannot be found or run").arg(program);
        return false;
    }
    definition.command.first() = found;
    return true;
}

// Seconds with fractions, to milliseconds; -1 with *error set when unusable.
qint64 durationOf(const QString& key, const QString& text, bool zeroAllowed, QString* error) {
    static const QRegularExpression number(QStringLiteral("^([0-9]{1,9})(\\.[0-9]{0,9})?$"));
    const auto match = number.match(text.trimmed());
    if (!match.hasMatch()) {
        *error = QStringLiteral("%1=%2 is not a number of seconds").arg(key, text);
        return -1;
    }
    const qint64 ms = qRound64(text.trimmed().toDouble() * 1000.0);
    if (ms > longestMs || (ms <= 0 && !zeroAllowed)) {
        *error = QStringLiteral("%1=%2 is out of range (%3 to 86400 seconds)")
                     .arg(key, text, zeroAllowed ? QStringLiteral("0") : QStringLiteral("0.001"));
        return -1;
    }
    return ms;
}

} // namespace

bool HealthCheckSpec::isOption(const QString& key) {
    return key == QLatin1String("check") || key.startsWith(QLatin1String("check_"));
}

std::optional<HealthCheckSpec> HealthCheckSpec::parse(const QHash<QString, QString>& options,
                                                      QString* error) {
    error->clear();
    bool any = false;
    for (auto it = options.cbegin(); it != options.cend(); ++it) {
        if (!isOption(it.key()))
            continue;
        any = true;
        const QString& key = it.key();
        if (key != QLatin1String("check") && key != intervalKey && key != timeoutKey &&
            key != retriesKey && key != graceKey) {
            *error = QStringLiteral("unknown option %1").arg(key);
            return std::nullopt;
        }
    }
    if (!any)
        return std::nullopt;
    const auto check = options.constFind(QStringLiteral("check"));
    if (check == options.cend()) {
        *error = QStringLiteral("check_ options without check=");
        return std::nullopt;
    }

    HealthCheckSpec definition;
    definition.text = check->trimmed();
    const qsizetype colon = definition.text.indexOf(QLatin1Char(':'));
    const QString scheme = definition.text.left(colon).toLower();
    const QString rest = definition.text.mid(colon + 1);
    QString problem;
    bool ok = false;
    if (colon < 0) {
        problem = QStringLiteral("no kind of check (tcp:, http:// or exec:)");
    } else if (scheme == QLatin1String("tcp")) {
        ok = parseTcp(rest, definition, &problem);
    } else if (scheme == QLatin1String("http")) {
        if (rest.startsWith(QLatin1String("//")))
            ok = parseHttp(rest.mid(2), definition, &problem);
        else
            problem = QStringLiteral("malformed URL (http://HOST:PORT/path)");
    } else if (scheme == QLatin1String("https")) {
        problem = QStringLiteral("HTTPS is not supported; check the plain HTTP port");
    } else if (scheme == QLatin1String("exec")) {
        ok = parseExec(rest, definition, &problem);
    } else {
        problem = QStringLiteral("unknown kind of check '%1' (tcp:, http:// or exec:)").arg(scheme);
    }
    if (!ok) {
        *error = QStringLiteral("check=%1: %2").arg(definition.text, problem);
        return std::nullopt;
    }

    const auto duration = [&](const QString& key, qint64& into, bool zeroAllowed) {
        const auto it = options.constFind(key);
        if (it == options.cend())
            return true;
        into = durationOf(key, *it, zeroAllowed, error);
        return into >= 0;
    };
    if (!duration(intervalKey, definition.intervalMs, false) ||
        !duration(timeoutKey, definition.timeoutMs, false) ||
        !duration(graceKey, definition.graceMs, true))
        return std::nullopt;
    if (const auto it = options.constFind(retriesKey); it != options.cend()) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,4}$"));
        const QString value = it->trimmed();
        definition.retries = digits.match(value).hasMatch() ? value.toInt() : 0;
        if (definition.retries < 1 || definition.retries > mostRetries) {
            *error = QStringLiteral("check_retries=%1 is out of range (1 to %2)")
                         .arg(*it)
                         .arg(mostRetries);
            return std::nullopt;
        }
    }
    return definition;
}

QString secondsText(qint64 ms) {
    return QString::number(static_cast<double>(ms) / 1000.0) + QStringLiteral(" s");
}
