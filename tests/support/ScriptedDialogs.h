#pragma once

#include "runtime/Dialogs.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

// Dialogs for tests: answers come from a script, and every box is recorded
// with its text, style and title.
class ScriptedDialogs : public rt::Dialogs {
public:
    struct Shown {
        enum class Kind { Message, Input } kind;
        QString prompt;
        int style = 0;
        std::optional<QString> title;
        QString defaultText;
    };

    int msgBox(const QString &prompt, int style, const std::optional<QString> &title) override
    {
        shown.append({Shown::Kind::Message, prompt, style, title, {}});
        if (onMessage)
            onMessage(shown.last());
        if (!answers.empty()) {
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        }
        // Unscripted questions are answered No, so a test never replaces or
        // deletes anything it did not ask for.
        return (style & 7) == rt::MsgStyle::YesNo ? rt::AnswerNo : rt::AnswerOk;
    }

    QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) override
    {
        shown.append({Shown::Kind::Input, prompt, 0, title, defaultText});
        if (inputs.empty())
            return QString();
        const QString text = inputs.front();
        inputs.pop_front();
        return text;
    }

    QStringList messages() const
    {
        QStringList out;
        for (const Shown &s : shown)
            if (s.kind == Shown::Kind::Message)
                out.append(s.prompt);
        return out;
    }

    QList<Shown> shown;
    std::deque<int> answers;
    std::deque<QString> inputs;
    // Runs while a message box is "open", as the user's reaction to it.
    std::function<void(const Shown &)> onMessage;
};
