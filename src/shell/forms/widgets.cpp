#include "shell/forms/widgets.h"

#include <QMouseEvent>

namespace kv {

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
    QLabel::mouseReleaseEvent(event);
}

ImageButton::ImageButton(int number, const QPixmap& normal, const QPixmap& hover, QWidget* parent)
    : ClickLabel(parent), number_(number), normal_(normal), hover_(hover) {
    setPixmap(normal_);
    setFixedSize(normal_.size());
    setMouseTracking(true);
    setCursor(Qt::PointingHandCursor);
}

void ImageButton::ShowHover(bool hover) {
    showsHover_ = hover;
    setPixmap(hover ? hover_ : normal_);
}

void ImageButton::enterEvent(QEnterEvent* event) {
    emit pointerOver(number_);
    ClickLabel::enterEvent(event);
}

void ImageButton::mouseMoveEvent(QMouseEvent* event) {
    // the pointer over a button is not over the window background
    event->accept();
}

}  // namespace kv
