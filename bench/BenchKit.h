#pragma once

// What several benchmarks need: dialogs that answer Yes, and the window's way
// of running a copy without the window.

#include "copy/rescue/CopyEngine.h"
#include "runtime/Dialogs.h"

#include <QCoreApplication>

namespace benchkit {

// Answers Yes to every question, and keeps the last words shown.
class YesDialogs : public rt::Dialogs {
public:
    int msgBox(const QString &prompt, int, const std::optional<QString> &) override
    {
        last = prompt;
        return rt::AnswerYes;
    }
    QString inputBox(const QString &, const QString &, const QString &) override { return QString(); }
    QString last;
};

// A copy as the window runs it, without the window: one yield per read.
class Yielding : public CopyProgress {
public:
    void showProgress(int, qint64, qint64) override {}
    bool yieldAndGoOn() override
    {
        QCoreApplication::processEvents();
        return true;
    }
    bool goingOn() const override { return true; }
};

} // namespace benchkit
