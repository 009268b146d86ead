#pragma once

#include <QSlider>

#include <vector>

// The control window's frame slider: a horizontal slider over the frames since start-up that
// also shows the range marked for export (a band over the groove, from its first to its last
// frame) and where recordings were paused (a tick at each frame that follows a pause).
class FrameSlider : public QSlider
{
    Q_OBJECT
public:
    explicit FrameSlider(QWidget *parent = nullptr);

    // The marked range, frame indices; first < 0: none.
    void setMarkedRange(int first, int last);
    [[nodiscard]] int markedFirst() const { return m_markFirst; }
    [[nodiscard]] int markedLast() const { return m_markLast; }
    // The frames that follow a pause, in order.
    void setPauseMarks(std::vector<int> frames);
    [[nodiscard]] const std::vector<int> &pauseMarks() const { return m_pauses; }

    // The x of frame `value` at the groove's current size: where its range band and tick begin.
    [[nodiscard]] int positionOf(int value) const;

    static constexpr QRgb MarkColour = 0xff3a8ee6;  // the marked range
    static constexpr QRgb PauseColour = 0xffe6a23a; // a pause's tick

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    [[nodiscard]] QRect grooveRect() const;

    int m_markFirst = -1;
    int m_markLast = -1;
    std::vector<int> m_pauses;
};
