#pragma once

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

// nginx with its RTMP module as an ordinary process of the test, on a loopback port of its own.
class Relay
{
public:
    explicit Relay(const QString &directory) : m_directory(directory) {}
    ~Relay() { stop(); }
    bool start(quint16 port)
    {
        QFile config(m_directory + QLatin1String("/nginx.conf"));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write(QStringLiteral("load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                                    "daemon off;\nmaster_process off;\npid %1/nginx.pid;\nerror_log %1/error.log;\n"
                                    "events { worker_connections 64; }\n"
                                    "rtmp { access_log off; server { listen 127.0.0.1:%2; application live { live on; } } }\n")
                         .arg(m_directory)
                         .arg(port)
                         .toUtf8());
        config.close();
        m_process.start(QStringLiteral("nginx"), {QStringLiteral("-p"), m_directory, QStringLiteral("-c"),
                                                  config.fileName(), QStringLiteral("-e"),
                                                  m_directory + QLatin1String("/error.log")});
        if (!m_process.waitForStarted())
            return false;
        // Started is not listening yet: a publisher that came first would be told "not reachable".
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(200))
                return true;
            QThread::msleep(20);
        }
        return false;
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    QString m_directory;
    QProcess m_process;
};

inline quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}
