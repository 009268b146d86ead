#include "selectionwindow.h"

#include <QFont>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>

#include <iostream>

SelectionWindow::SelectionWindow(QWidget *parent)
    : QWidget(parent)
{
    setAutoFillBackground(true);
    selectionRect = QRect(0, 0, 640, 480);

    widthSpinBox = new QSpinBox(this);
    widthSpinBox->setRange(1, 100000);
    widthSpinBox->setValue(640);
    heightSpinBox = new QSpinBox(this);
    heightSpinBox->setRange(1, 100000);
    heightSpinBox->setValue(480);

    closeButton = new QPushButton(tr("Close"), this);
    closeButton->setFont(QFont(QStringLiteral("Times"), 18, QFont::Bold, false));

    connect(widthSpinBox, SIGNAL(valueChanged(int)), this, SLOT(SLOT_updateRecSize()));
    connect(heightSpinBox, SIGNAL(valueChanged(int)), this, SLOT(SLOT_updateRecSize()));
    connect(closeButton, SIGNAL(clicked()), this, SLOT(close()));
}

QRect *SelectionWindow::getSelectionRect()
{
    return &selectionRect;
}

void SelectionWindow::setBackground(const QPixmap &pixmap)
{
    background = pixmap;
    std::cout << pixmap.width() << " " << pixmap.height() << std::endl;
}

void SelectionWindow::setSelectionRect(const QRect &rect)
{
    selectionRect = rect;
    const QSignalBlocker blockWidth(widthSpinBox);
    const QSignalBlocker blockHeight(heightSpinBox);
    widthSpinBox->setValue(rect.width());
    heightSpinBox->setValue(rect.height());
    update();
}

void SelectionWindow::SLOT_updateRecSize()
{
    selectionRect.setBottom(selectionRect.top() + heightSpinBox->value() - 1);
    selectionRect.setRight(selectionRect.left() + widthSpinBox->value() - 1);
    update();
}

void SelectionWindow::mousePressEvent(QMouseEvent *event)
{
    QWidget::mousePressEvent(event);
}

void SelectionWindow::mouseReleaseEvent(QMouseEvent *event)
{
    QWidget::mouseReleaseEvent(event);
}

void SelectionWindow::mouseMoveEvent(QMouseEvent *event)
{
    QWidget::mouseMoveEvent(event);
}

void SelectionWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setOpacity(0.3);
    painter.drawPixmap(rect(), background);
    painter.setOpacity(1.0);
    painter.setPen(Qt::black);
    painter.setBrush(Qt::Dense7Pattern);
    painter.drawRect(selectionRect);
}
