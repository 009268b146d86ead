#pragma once

#include <functional>
#include <vector>

// The one limit on the viewers a capture serves, TCP viewers and browsers together. Each kind of
// viewer adds itself with its count and a way to make room (let go of viewers already gone, or
// that never answered); both servers ask admit() before they take a newcomer in.
class ViewerLimit
{
public:
    static constexpr int DefaultMaximum = 16;

    explicit ViewerLimit(int maximum = DefaultMaximum)
        : m_maximum(maximum)
    {
    }

    struct Kind
    {
        std::function<int()> count;
        std::function<void()> makeRoom;
    };
    // Returns its index, for removeKind() when that kind goes before the limit.
    int addKind(Kind kind)
    {
        m_kinds.push_back(std::move(kind));
        return int(m_kinds.size()) - 1;
    }
    void removeKind(int index) { m_kinds[size_t(index)] = {}; }

    [[nodiscard]] int maximum() const { return m_maximum; }
    [[nodiscard]] int count() const
    {
        int total = 0;
        for (const Kind &kind : m_kinds)
            total += kind.count ? kind.count() : 0;
        return total;
    }
    // Whether one more viewer may come in, after every kind has made what room it can.
    [[nodiscard]] bool admit()
    {
        if (count() < m_maximum)
            return true;
        for (const Kind &kind : m_kinds) {
            if (kind.makeRoom)
                kind.makeRoom();
        }
        return count() < m_maximum;
    }

private:
    const int m_maximum;
    std::vector<Kind> m_kinds;
};
