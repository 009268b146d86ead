#pragma once

#include <QImage>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QWebSocket>

// A headless Chromium driven over its DevTools protocol: opens one page and reads it back
// (script results, screenshots). Everything runs on loopback; the browser's profile lives in a
// temporary folder that goes with this object.
class HeadlessChromium
{
public:
    HeadlessChromium() = default;
    ~HeadlessChromium();
    HeadlessChromium(const HeadlessChromium &) = delete;
    HeadlessChromium &operator=(const HeadlessChromium &) = delete;

    // The browser program, or an empty string when none is installed.
    [[nodiscard]] static QString program();

    // Starts the browser and opens `url` in a page of width x height CSS pixels.
    [[nodiscard]] bool open(const QString &url, int width, int height, QString *error);
    // The value of a script expression (as JSON: strings, numbers, booleans); a null value
    // when it could not be evaluated.
    [[nodiscard]] QJsonValue evaluate(const QString &expression);
    // What the page shows now.
    [[nodiscard]] QImage screenshot();

private:
    QJsonObject call(const QString &method, const QJsonObject &params = {}, bool onPage = true);

    QTemporaryDir m_profile;
    QProcess m_process;
    QWebSocket m_socket;
    QString m_session;
    QString m_lastError; // the last error reply, for messages
    int m_nextId = 1;
    QList<QJsonObject> m_replies;
};
