#pragma once

#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QWidget>

class QPushButton;
class QSpinBox;

// Full-screen window on a dimmed snapshot of the desktop in which the user picks the area to
// capture. The rectangle is the window's only result; the control window reads it through
// getSelectionRect().
class SelectionWindow : public QWidget
{
    Q_OBJECT
public:
    explicit SelectionWindow(QWidget *parent = nullptr);

    QRect *getSelectionRect();
    void setBackground(const QPixmap &pixmap);
    // Replaces the rectangle (the control window's --area option) and shows its size.
    void setSelectionRect(const QRect &rect);

Q_SIGNALS:
    void doneSelected(QRect *);

public Q_SLOTS:
    void SLOT_updateRecSize();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QPushButton *closeButton = nullptr;
    QPixmap background;
    QRect selectionRect;
    QSpinBox *widthSpinBox = nullptr;
    QSpinBox *heightSpinBox = nullptr;
    QPoint lastMousePos;
    bool dragging = false;
};
