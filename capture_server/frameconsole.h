#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

// The console of capture_server, in the order things happened on the GUI thread even when some
// lines are only known later, on a worker: a handler reserves the place of a frame's lines while
// the tick runs and fills it when the frame is written or sent, and the tick's rate line, printed
// after the handler returned, waits behind them. Lines with nothing reserved before them are
// printed at once. GUI thread only.
class FrameConsole
{
public:
    static FrameConsole &instance();

    // Prints `line` now, or after the lines reserved before it.
    void print(std::string line);
    // Reserves the place of lines that come later; fill() it exactly once.
    [[nodiscard]] int reserve();
    void fill(int place, std::vector<std::string> lines);
    // Lines waiting behind a place not yet filled.
    [[nodiscard]] int waitingLines() const { return int(m_entries.size()); }

private:
    struct Entry
    {
        int place = -1;                 // reserved place, or -1 for a line ready to print
        std::optional<std::vector<std::string>> lines;
    };
    void printReady();

    std::deque<Entry> m_entries;
    int m_nextPlace = 0;
};
