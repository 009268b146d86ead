#include "selectionwindow.h"

#include "selectionedit.h"

#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>

#include <cmath>
#include "frameconsole.h"

namespace {

// The logical pixel under the pointer. Under a scale factor the position can fall between two
// logical pixels; rounding would pick the next pixel for the right half of a logical pixel.
QPoint pixelAt(const QMouseEvent *event)
{
    const QPointF pos = event->position();
    return QPoint(int(std::floor(pos.x())), int(std::floor(pos.y())));
}

} // namespace

SelectionWindow::SelectionWindow(QWidget *parent)
    : QWidget(parent)
{
    setAutoFillBackground(true);
    selectionRect = QRect(0, 0, 640, 480);

    widthSpinBox = new QSpinBox(this);
    widthSpinBox->setObjectName(QStringLiteral("widthSpinBox"));
    widthSpinBox->setRange(1, 100000);
    widthSpinBox->setValue(640);
    heightSpinBox = new QSpinBox(this);
    heightSpinBox->setObjectName(QStringLiteral("heightSpinBox"));
    heightSpinBox->setRange(1, 100000);
    heightSpinBox->setValue(480);

    closeButton = new QPushButton(tr("Close"), this);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setFont(QFont(QStringLiteral("Times"), 18, QFont::Bold, false));

    pickWindowButton = new QPushButton(tr("Pick window"), this);
    pickWindowButton->setObjectName(QStringLiteral("pickWindowButton"));
    pickWindowButton->setFont(closeButton->font());
    pickWindowButton->setCheckable(true);
    pickWindowButton->setToolTip(tr("Click a window to follow it as it moves (or Ctrl+click it without this button)"));
    connect(pickWindowButton, &QPushButton::toggled, this, [this](bool picking) {
        if (picking)
            setCursor(Qt::PointingHandCursor);
        else
            unsetCursor();
    });

    connectSpinBoxes();
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);

    dragging = false;
    // The window itself takes the keyboard so that the arrow keys reach the rectangle; a click
    // on the snapshot takes it back from a spin box.
    setFocusPolicy(Qt::StrongFocus);
}

QRect *SelectionWindow::getSelectionRect()
{
    return &selectionRect;
}

void SelectionWindow::setBackground(const QPixmap &pixmap)
{
    background = pixmap;
    FrameConsole::instance().report(StageEvent::notice(std::to_string(pixmap.width()) + " " + std::to_string(pixmap.height())));
}

void SelectionWindow::setSelectionRect(const QRect &rect)
{
    selectionRect = rect;
    showRectSize();
    update();
}

void SelectionWindow::SLOT_updateRecSize()
{
    selectionRect.setBottom(selectionRect.top() + heightSpinBox->value() - 1);
    selectionRect.setRight(selectionRect.left() + widthSpinBox->value() - 1);
    update();
    Q_EMIT areaEdited();
}

void SelectionWindow::connectSpinBoxes()
{
    // Unique: a second button released after the first must not connect twice.
    connect(widthSpinBox, &QSpinBox::valueChanged, this, &SelectionWindow::SLOT_updateRecSize,
            Qt::UniqueConnection);
    connect(heightSpinBox, &QSpinBox::valueChanged, this, &SelectionWindow::SLOT_updateRecSize,
            Qt::UniqueConnection);
}

void SelectionWindow::disconnectSpinBoxes()
{
    disconnect(widthSpinBox, &QSpinBox::valueChanged, this, &SelectionWindow::SLOT_updateRecSize);
    disconnect(heightSpinBox, &QSpinBox::valueChanged, this, &SelectionWindow::SLOT_updateRecSize);
}

void SelectionWindow::showRectSize()
{
    // The values come from the rectangle, so they must not resize it again. Written one after
    // the other with the slot connected, the first would resize the rectangle with the stale
    // value of the second box, losing an edit of both sizes made since the last paint.
    const QSignalBlocker blockWidth(widthSpinBox);
    const QSignalBlocker blockHeight(heightSpinBox);
    // Written only on a change, so that text being typed into a box is not replaced.
    if (widthSpinBox->value() != selectionRect.width())
        widthSpinBox->setValue(selectionRect.width());
    if (heightSpinBox->value() != selectionRect.height())
        heightSpinBox->setValue(selectionRect.height());
}

void SelectionWindow::mousePressEvent(QMouseEvent *event)
{
    // A press that a control let through (a spin box's frame) belongs to the control: the
    // control also takes the release, which would leave the spin boxes disconnected.
    if (childAt(event->position().toPoint())) {
        event->ignore();
        return;
    }
    if (event->modifiers().testFlag(Qt::ControlModifier) || pickWindowButton->isChecked()) {
        // A window instead of an area: the control window looks up what lies under the point.
        m_pickPressed = true;
        pickWindowButton->setChecked(false);
        Q_EMIT windowPicked(mapToGlobal(pixelAt(event)));
        return;
    }
    m_pickPressed = false; // a pick's release may not have come: the window closed at its press
    FrameConsole::instance().report(StageEvent::notice("MOUSE PRESSED"));
    lastMousePos = pixelAt(event);
    // While a button is held the spin boxes only show the size; they do not resize.
    disconnectSpinBoxes();
}

void SelectionWindow::mouseReleaseEvent(QMouseEvent *)
{
    if (m_pickPressed) {
        m_pickPressed = false;
        return;
    }
    FrameConsole::instance().report(StageEvent::notice("MOUSE RELEASED"));
    dragging = false;
    connectSpinBoxes();
}

void SelectionWindow::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint pos = pixelAt(event);
    const SelectionEdit edit = editSelectionForMove(selectionRect, pos, lastMousePos, dragging);
    if (edit.edited && !m_pickPressed) {
        selectionRect = edit.rect;
        update();
        dragging = true;
        Q_EMIT areaEdited();
    }
    lastMousePos = pos;
}

void SelectionWindow::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        close();
        return;
    default:
        break;
    }
    const SelectionEdit edit = editSelectionForKey(selectionRect, event->key(), event->modifiers());
    if (!edit.edited) {
        QWidget::keyPressEvent(event);
        return;
    }
    selectionRect = edit.rect;
    update();
    Q_EMIT areaEdited();
}

void SelectionWindow::showEvent(QShowEvent *event)
{
    // Window coordinates must be desktop coordinates, and the window covers every monitor.
    // Full-screen state alone relies on a window manager, which also keeps it to one monitor;
    // without one the window would keep its own small size and place.
    if (QScreen *primary = QGuiApplication::primaryScreen(); primary && isFullScreen())
        setGeometry(primary->virtualGeometry());
    QWidget::showEvent(event);
    activateWindow();
    setFocus(Qt::ActiveWindowFocusReason);
}

void SelectionWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);

    // The snapshot at 30 % over the palette background; a snapshot in device pixels fills the
    // window pixel for pixel.
    painter.setOpacity(0.3);
    painter.drawPixmap(rect(), background);

    painter.setPen(QPen(Qt::black, 0));
    painter.setBrush(Qt::Dense7Pattern);
    painter.setOpacity(1.0);
    painter.drawRects(&selectionRect, 1);

    // The controls travel with the rectangle's top-left corner.
    closeButton->setGeometry(selectionRect.left(), selectionRect.top(), 75, 30);
    widthSpinBox->setGeometry(selectionRect.left() + 100, selectionRect.top(), 75, 30);
    heightSpinBox->setGeometry(selectionRect.left() + 100, selectionRect.top() + 30, 75, 30);
    pickWindowButton->setGeometry(selectionRect.left() + 180, selectionRect.top(), pickWindowButton->sizeHint().width(), 30);
    showRectSize();

    painter.end();
}
