#pragma once

#include "runtime/Dialogs.h"

class QWidget;

namespace rt {

// The real dialogs: QMessageBox and QInputDialog over the given window.
class QtDialogs : public Dialogs {
public:
    explicit QtDialogs(QWidget *parent = nullptr) : m_parent(parent) {}

    int msgBox(const QString &prompt, int style, const std::optional<QString> &title) override;
    QString inputBox(const QString &prompt, const QString &title,
                     const QString &defaultText) override;

private:
    QWidget *m_parent;
};

} // namespace rt
