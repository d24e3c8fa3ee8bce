#pragma once

#include "runtime/controls/DisplayPacer.h"

#include <QLabel>

namespace rt {

// A caption whose newest text is read back at once and drawn with the next
// frame; a screen reader reads it as drawn.
class Label : public QLabel, public PacedControl {
    Q_OBJECT
public:
    explicit Label(QWidget *parent = nullptr);
    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);

signals:
    // Each new caption, in order.
    void captionSet(const QString &caption);

protected:
    void applyToScreen() override;

private:
    QString m_caption;
};

} // namespace rt
