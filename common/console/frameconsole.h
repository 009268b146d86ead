#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Something a stage of either program reports: a frame written or not, a viewer that came or
// went, a connection lost or back, a failure with its reason. The console words it; everyone
// else (a window's title, a test) can listen to the console's SIG_reported() instead of reading
// the lines.
struct StageEvent
{
    enum class Kind {
        Notice,          // `text` as it stands
        Failed,          // something did not work: `text` says what and why
        FrameWritten,    // "Writing: <subject>", a file
        WriteFailed,     // "Could not write: <subject>: <text>"
        FrameSent,       // "Buffer length <number>", "Image buffered to socket <text>"
        ViewerJoined,    // "Client <subject> connected!"
        ViewerLeft,      // a viewer went or was dropped: `text` says how
        ViewerRefused,   // "Client <subject> refused: already serving <number> viewers"
        ConnectionLost,  // "Connection to <subject> lost: <text>; trying again in <number> ms"
        Reconnected,     // "Reconnected to <subject>"
        ReconnectFailed, // "Reconnecting to <subject> failed: <text>; next attempt in <number> ms"
    };

    Kind kind = Kind::Notice;
    QString subject; // the file or the peer it is about
    QString text;    // the reason; a notice's whole line; for a viewer (a browser, say), its own line
    qint64 number = -1;

    [[nodiscard]] static StageEvent notice(QString line) { return {Kind::Notice, {}, std::move(line), -1}; }
    [[nodiscard]] static StageEvent failed(QString line) { return {Kind::Failed, {}, std::move(line), -1}; }
    [[nodiscard]] static StageEvent notice(const std::string &line) { return notice(QString::fromStdString(line)); }
    [[nodiscard]] static StageEvent failed(const std::string &line) { return failed(QString::fromStdString(line)); }
    [[nodiscard]] static StageEvent notice(const char *line) { return notice(QString::fromLatin1(line)); }
    [[nodiscard]] static StageEvent failed(const char *line) { return failed(QString::fromLatin1(line)); }
    // The console line.
    [[nodiscard]] std::string line() const;
};
Q_DECLARE_METATYPE(StageEvent)

// The place of a frame's events in the console's order, held by the job that will fill it.
// Copies share the place; when the last copy goes without the place having been filled (the job
// was dropped, its stage destroyed), the place is given up, so nothing waits behind it for ever.
class ConsolePlace
{
public:
    ConsolePlace() = default;
    [[nodiscard]] int number() const { return m_token ? m_token->place : -1; }

private:
    friend class FrameConsole;
    struct Token
    {
        explicit Token(int place_) : place(place_) { }
        ~Token();
        Token(const Token &) = delete;
        Token &operator=(const Token &) = delete;
        const int place;
        std::atomic<bool> filled{false};
    };
    std::shared_ptr<Token> m_token;
};

// The one console of a program. Stages report what happened; the console prints it in the order
// things happened on the GUI thread, even when some lines are only known later, on a worker: a
// stage reserves the place of a frame's lines while the tick runs and fills it when the frame is
// written or sent, and the tick's rate line, reported after the handler returned, waits behind
// them. Lines with nothing reserved before them are printed at once. Events reported from another
// thread are printed in turn on the thread the console lives on (the first one to use it); the
// other functions belong to that thread alone.
class FrameConsole : public QObject
{
    Q_OBJECT
public:
    static FrameConsole &instance();
    ~FrameConsole() override;

    // Prints the event's line now, or after the lines reserved before it.
    void report(StageEvent event);
    void print(const std::string &line) { report(StageEvent::notice(line)); }
    // Reserves the place of events that come later; fill() it once (from any thread).
    [[nodiscard]] ConsolePlace reserve();
    void fill(const ConsolePlace &place, std::vector<StageEvent> events);
    // The same for a frame with one event or none.
    void fill(const ConsolePlace &place, std::optional<StageEvent> event);
    // Events waiting behind a place not yet filled.
    [[nodiscard]] int waitingLines() const { return int(m_entries.size()); }

Q_SIGNALS:
    // Each event as its line is printed, in the same order.
    void SIG_reported(const StageEvent &event);

private:
    friend struct ConsolePlace::Token;
    struct Entry
    {
        int place = -1; // reserved place, or -1 for events ready to print
        std::optional<std::vector<StageEvent>> events;
    };
    void fillPlace(int place, std::vector<StageEvent> events);
    void emitEvent(const StageEvent &event);
    void printReady();

    std::deque<Entry> m_entries;
    int m_nextPlace = 0;
};
