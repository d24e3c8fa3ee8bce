#pragma once

#include <QPushButton>

namespace rt {

// A button that Enter presses as well as Space, and whose access key presses
// it at once, in the same turn of the event loop as a click.
class CommandButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    // Read back exactly as set, "&" included.
    QString caption() const { return text(); }
    void setCaption(const QString &caption) { setText(caption); }

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};

} // namespace rt
