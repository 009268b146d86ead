#include "frameconsole.h"

#include <QCoreApplication>
#include <QThread>

#include <iostream>

namespace {

std::atomic<bool> consoleGone{false}; // at exit, places may outlive the console

std::string latin1(const QString &text)
{
    return text.toLatin1().toStdString();
}

} // namespace

std::string StageEvent::line() const
{
    switch (kind) {
    case Kind::Notice:
    case Kind::Failed:
    case Kind::ViewerLeft:
        return latin1(text);
    case Kind::FrameWritten:
        return "Writing: " + latin1(subject);
    case Kind::WriteFailed:
        return "Could not write: " + latin1(subject) + (text.isEmpty() ? "" : ": " + latin1(text));
    case Kind::FrameSent:
        return "Buffer length " + std::to_string(number) + "\nImage buffered to socket " + latin1(text);
    case Kind::ViewerJoined:
        return text.isEmpty() ? "Client " + latin1(subject) + " connected!" : latin1(text);
    case Kind::ViewerRefused:
        return text.isEmpty()
            ? "Client " + latin1(subject) + " refused: already serving " + std::to_string(number) + " viewers"
            : latin1(text);
    case Kind::ConnectionLost:
        return "Connection to " + latin1(subject) + " lost: " + latin1(text) + "; trying again in "
            + std::to_string(number) + " ms";
    case Kind::Reconnected:
        return "Reconnected to " + latin1(subject);
    case Kind::ReconnectFailed:
        return "Reconnecting to " + latin1(subject) + " failed: " + latin1(text) + "; next attempt in "
            + std::to_string(number) + " ms";
    }
    return latin1(text);
}

FrameConsole &FrameConsole::instance()
{
    static FrameConsole console;
    // Whichever thread asks first, the console prints on the application's thread.
    static const bool onAppThread = [] {
        if (QCoreApplication *app = QCoreApplication::instance(); app && console.thread() != app->thread())
            console.moveToThread(app->thread());
        return true;
    }();
    (void)onAppThread;
    return console;
}

void FrameConsole::report(StageEvent event)
{
    if (thread() != QThread::currentThread()) {
        // From a worker: printed in turn on the console's own thread.
        QMetaObject::invokeMethod(this, [this, event = std::move(event)]() mutable { report(std::move(event)); },
                                  Qt::QueuedConnection);
        return;
    }
    if (m_entries.empty()) {
        emitEvent(event);
        return;
    }
    m_entries.push_back(Entry{-1, std::vector<StageEvent>{std::move(event)}});
}

FrameConsole::~FrameConsole()
{
    consoleGone = true;
}

ConsolePlace::Token::~Token()
{
    if (!filled.exchange(true) && !consoleGone)
        FrameConsole::instance().fillPlace(place, {});
}

ConsolePlace FrameConsole::reserve()
{
    ConsolePlace reserved;
    reserved.m_token = std::make_shared<ConsolePlace::Token>(m_nextPlace++);
    m_entries.push_back(Entry{reserved.m_token->place, std::nullopt});
    return reserved;
}

void FrameConsole::fill(const ConsolePlace &place, std::vector<StageEvent> events)
{
    if (place.m_token && !place.m_token->filled.exchange(true))
        fillPlace(place.m_token->place, std::move(events));
}

void FrameConsole::fill(const ConsolePlace &place, std::optional<StageEvent> event)
{
    std::vector<StageEvent> events;
    if (event)
        events.push_back(std::move(*event));
    fill(place, std::move(events));
}

void FrameConsole::fillPlace(int place, std::vector<StageEvent> events)
{
    if (thread() != QThread::currentThread()) {
        QMetaObject::invokeMethod(
            this, [this, place, events = std::move(events)]() mutable { fillPlace(place, std::move(events)); },
            Qt::QueuedConnection);
        return;
    }
    for (Entry &entry : m_entries) {
        if (entry.place == place && !entry.events) {
            entry.events = std::move(events);
            break;
        }
    }
    printReady();
}

void FrameConsole::emitEvent(const StageEvent &event)
{
    std::cout << event.line() << std::endl;
    Q_EMIT SIG_reported(event);
}

void FrameConsole::printReady()
{
    while (!m_entries.empty() && m_entries.front().events) {
        // Taken off the queue first: a listener may report more.
        const std::vector<StageEvent> events = std::move(*m_entries.front().events);
        m_entries.pop_front();
        for (const StageEvent &event : events)
            emitEvent(event);
    }
}
