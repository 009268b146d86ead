#include "headlesschromium.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

namespace {

constexpr int ReplyTimeoutMs = 20000;

// Runs the event loop until `done` holds or `ms` have passed.
template <typename Predicate>
bool waitFor(Predicate done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace

HeadlessChromium::~HeadlessChromium()
{
    m_socket.abort();
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QString HeadlessChromium::program()
{
    return QStandardPaths::findExecutable(QStringLiteral("chromium"));
}

bool HeadlessChromium::open(const QString &url, int width, int height, QString *error)
{
    m_process.setProgram(program());
    // The browser is not ours to instrument: no sanitizer runtime preloaded into it.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    m_process.setProcessEnvironment(environment);
    m_process.setArguments({QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                            QStringLiteral("--no-first-run"), QStringLiteral("--remote-debugging-address=127.0.0.1"),
                            QStringLiteral("--remote-debugging-port=0"),
                            QStringLiteral("--user-data-dir=") + m_profile.path(),
                            QStringLiteral("--window-size=%1,%2").arg(width).arg(height), QStringLiteral("about:blank")});
    m_process.start();
    if (!m_process.waitForStarted(10000)) {
        *error = QStringLiteral("chromium did not start: ") + m_process.errorString();
        return false;
    }
    // The browser names its DevTools endpoint on its error output.
    const QRegularExpression endpointLine(QStringLiteral("DevTools listening on (ws://\\S+)"));
    QByteArray text;
    QString endpoint;
    waitFor([&] {
        text += m_process.readAllStandardError();
        const QRegularExpressionMatch match = endpointLine.match(QString::fromLatin1(text));
        endpoint = match.hasMatch() ? match.captured(1) : QString();
        return !endpoint.isEmpty() || m_process.state() == QProcess::NotRunning;
    }, 30000);
    if (endpoint.isEmpty()) {
        *error = QStringLiteral("chromium named no DevTools endpoint: ") + QString::fromLocal8Bit(text.right(2000));
        return false;
    }

    m_socket.setMaxAllowedIncomingMessageSize(256 * 1024 * 1024);
    m_socket.setMaxAllowedIncomingFrameSize(256 * 1024 * 1024);
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket, [this](const QString &message) {
        const QJsonObject reply = QJsonDocument::fromJson(message.toUtf8()).object();
        if (reply.contains(QLatin1String("id")))
            m_replies.append(reply);
    });
    m_socket.open(QUrl(endpoint));
    if (!waitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 10000)) {
        *error = QStringLiteral("no DevTools connection: ") + m_socket.errorString();
        return false;
    }

    const QJsonObject target = call(QStringLiteral("Target.createTarget"),
                                    {{QStringLiteral("url"), url}},
                                    false);
    const QString targetId = target.value(QLatin1String("targetId")).toString();
    if (targetId.isEmpty()) {
        *error = QStringLiteral("could not open a page for ") + url + QStringLiteral(": ") + m_lastError;
        return false;
    }
    const QJsonObject attached = call(QStringLiteral("Target.attachToTarget"),
                                      {{QStringLiteral("targetId"), targetId}, {QStringLiteral("flatten"), true}}, false);
    m_session = attached.value(QLatin1String("sessionId")).toString();
    if (m_session.isEmpty()) {
        *error = QStringLiteral("could not open a page for ") + url + QStringLiteral(": ") + m_lastError;
        return false;
    }
    call(QStringLiteral("Emulation.setDeviceMetricsOverride"),
         {{QStringLiteral("width"), width}, {QStringLiteral("height"), height},
          {QStringLiteral("deviceScaleFactor"), 1}, {QStringLiteral("mobile"), false}});
    return true;
}

QJsonObject HeadlessChromium::call(const QString &method, const QJsonObject &params, bool onPage)
{
    const int id = m_nextId++;
    QJsonObject message{{QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    if (onPage)
        message.insert(QStringLiteral("sessionId"), m_session);
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    QJsonObject reply;
    waitFor([&] {
        for (qsizetype i = 0; i < m_replies.size(); ++i) {
            if (m_replies[i].value(QLatin1String("id")).toInt() == id) {
                reply = m_replies.takeAt(i);
                return true;
            }
        }
        return m_socket.state() != QAbstractSocket::ConnectedState;
    }, ReplyTimeoutMs);
    if (reply.contains(QLatin1String("error")))
        m_lastError = QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
    return reply.value(QLatin1String("result")).toObject();
}

QJsonValue HeadlessChromium::evaluate(const QString &expression)
{
    const QJsonObject result = call(QStringLiteral("Runtime.evaluate"),
                                    {{QStringLiteral("expression"), expression}, {QStringLiteral("returnByValue"), true}});
    return result.value(QLatin1String("result")).toObject().value(QLatin1String("value"));
}

QImage HeadlessChromium::screenshot()
{
    const QJsonObject result = call(QStringLiteral("Page.captureScreenshot"), {{QStringLiteral("format"), QStringLiteral("png")}});
    return QImage::fromData(QByteArray::fromBase64(result.value(QLatin1String("data")).toString().toLatin1()), "PNG");
}
