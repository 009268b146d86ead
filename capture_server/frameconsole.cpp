#include "frameconsole.h"

#include <iostream>

FrameConsole &FrameConsole::instance()
{
    static FrameConsole console;
    return console;
}

void FrameConsole::print(std::string line)
{
    if (m_entries.empty()) {
        std::cout << line << std::endl;
        return;
    }
    m_entries.push_back(Entry{-1, std::vector<std::string>{std::move(line)}});
}

int FrameConsole::reserve()
{
    const int place = m_nextPlace++;
    m_entries.push_back(Entry{place, std::nullopt});
    return place;
}

void FrameConsole::fill(int place, std::vector<std::string> lines)
{
    for (Entry &entry : m_entries) {
        if (entry.place == place && !entry.lines) {
            entry.lines = std::move(lines);
            break;
        }
    }
    printReady();
}

void FrameConsole::printReady()
{
    while (!m_entries.empty() && m_entries.front().lines) {
        for (const std::string &line : *m_entries.front().lines)
            std::cout << line << std::endl;
        m_entries.pop_front();
    }
}
