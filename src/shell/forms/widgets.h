#pragma once
// The controls the shell's windows draw themselves with: labels that answer clicks and
// picture buttons that tell when the pointer comes over them.
#include <QLabel>
#include <QPixmap>

namespace kv {

// A label (text or picture) with a click event.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();
protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// An image button: a picture with a click event that reports the pointer moving over it.
// It keeps its normal and hover pictures; the window decides which one shows.
class ImageButton : public ClickLabel {
    Q_OBJECT
public:
    ImageButton(int number, const QPixmap& normal, const QPixmap& hover, QWidget* parent);
    int Number() const { return number_; }
    void ShowHover(bool hover);
    bool ShowsHover() const { return showsHover_; }
signals:
    void pointerOver(int number);
protected:
    void enterEvent(QEnterEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
private:
    int number_;
    QPixmap normal_;
    QPixmap hover_;
    bool showsHover_ = false;
};

}  // namespace kv
