#pragma once

#include <QGroupBox>

namespace rt {

// A frame around a group of controls, with its caption.
class Frame : public QGroupBox {
    Q_OBJECT
public:
    using QGroupBox::QGroupBox;
};

} // namespace rt
