#pragma once

#include "runtime/controls/DisplayPacer.h"

#include <QProgressBar>

namespace rt {

// A vertical bar from 0 to 100.
class ProgressBar : public QProgressBar, public PacedControl {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget *parent = nullptr);
    int barValue() const { return m_value; }
    void setBarValue(float value);
    // Repaints now with the latest value.
    void refresh();

signals:
    void barValueSet(int value);

protected:
    void applyToScreen() override;

private:
    int m_value = 0;
};

} // namespace rt
