#pragma once

#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QWidget>

class QPushButton;
class QSpinBox;

// Full-screen window on a dimmed snapshot of the desktop in which the user picks the area to
// capture: the rectangle is moved or its edges dragged with the mouse, its size typed into two
// spin boxes that travel with it, or it is nudged with the arrow keys. The rectangle is the
// window's only result, in the window's logical pixels; the control window reads it through
// getSelectionRect(). Instead of an area, a window can be picked: a Ctrl+click, or a click after
// "Pick window", names the point whose window the control window then follows.
class SelectionWindow : public QWidget
{
    Q_OBJECT
public:
    explicit SelectionWindow(QWidget *parent = nullptr);

    // Stays valid for the window's lifetime; every later edit is visible through it.
    QRect *getSelectionRect();
    // Keeps a copy of the desktop snapshot and prints its size ("<width> <height>").
    void setBackground(const QPixmap &pixmap);
    // Replaces the rectangle (the control window's --area option) and shows its size.
    void setSelectionRect(const QRect &rect);

Q_SIGNALS:
    void doneSelected(QRect *);
    // A window was picked at `globalPos` (logical desktop pixels).
    void windowPicked(const QPoint &globalPos);
    // The user changed the rectangle (mouse, keys or spin boxes).
    void areaEdited();

public Q_SLOTS:
    // Resizes the rectangle to the spin boxes' width and height, keeping its top-left corner.
    void SLOT_updateRecSize();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void connectSpinBoxes();
    void disconnectSpinBoxes();
    void showRectSize();

    QPushButton *closeButton = nullptr;
    QPushButton *pickWindowButton = nullptr; // checked: the next click picks a window
    bool m_pickPressed = false;              // the button now held down picked a window
    QPixmap background;
    QRect selectionRect;
    QSpinBox *widthSpinBox = nullptr;
    QSpinBox *heightSpinBox = nullptr;
    QPoint lastMousePos;
    bool dragging = false;
};
