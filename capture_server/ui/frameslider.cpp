#include "frameslider.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>

FrameSlider::FrameSlider(QWidget *parent)
    : QSlider(Qt::Horizontal, parent)
{
}

void FrameSlider::setMarkedRange(int first, int last)
{
    if (first < 0)
        last = first = -1;
    if (first == m_markFirst && last == m_markLast)
        return;
    m_markFirst = first;
    m_markLast = std::max(first, last);
    update();
}

void FrameSlider::setPauseMarks(std::vector<int> frames)
{
    if (frames == m_pauses)
        return;
    m_pauses = std::move(frames);
    update();
}

QRect FrameSlider::grooveRect() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
}

int FrameSlider::positionOf(int value) const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    // The handle's centre travels over the groove less the handle's own width.
    const QRect groove = grooveRect();
    const int handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this).width();
    const int span = std::max(0, groove.width() - handle);
    return groove.x() + handle / 2
           + QStyle::sliderPositionFromValue(minimum(), maximum(), std::clamp(value, minimum(), maximum()), span);
}

void FrameSlider::paintEvent(QPaintEvent *event)
{
    QSlider::paintEvent(event);
    if (m_markFirst < 0 && m_pauses.empty())
        return;
    QPainter painter(this);
    const QRect groove = grooveRect();
    const int centre = groove.center().y();
    if (m_markFirst >= 0 && m_markFirst <= maximum()) {
        // A band over the groove, at least a few pixels wide so that one frame shows too.
        const int left = positionOf(m_markFirst) - 2;
        const int right = std::max(positionOf(m_markLast) + 2, left + 4);
        painter.fillRect(QRect(QPoint(left, centre - 3), QPoint(right, centre + 3)), QColor::fromRgb(MarkColour));
    }
    for (const int frame : m_pauses) {
        if (frame > maximum())
            break;
        const int x = positionOf(frame);
        painter.fillRect(QRect(x - 1, 0, 3, height()), QColor::fromRgb(PauseColour));
    }
}
