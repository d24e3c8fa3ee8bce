#pragma once

#include <QLineEdit>

namespace rt {

// A one-line text box with the window's focus mark.
class TextBox : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace rt
