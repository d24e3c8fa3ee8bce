#include "runtime/controls/QtDialogs.h"

#include "runtime/media/MediumWaits.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

#include <vector>

namespace rt {

int QtDialogs::msgBox(const QString &prompt, int style, const std::optional<QString> &title)
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (style & 0x70) {
    case 16: icon = QMessageBox::Critical; break;
    case 32: icon = QMessageBox::Question; break;
    case 48: icon = QMessageBox::Warning; break;
    case 64: icon = QMessageBox::Information; break;
    default: break;
    }
    struct Choice { QMessageBox::StandardButton button; int answer; };
    std::vector<Choice> choices;
    switch (style & 0x7) {
    case 1: choices = {{QMessageBox::Ok, AnswerOk}, {QMessageBox::Cancel, AnswerCancel}}; break;
    case 4: choices = {{QMessageBox::Yes, AnswerYes}, {QMessageBox::No, AnswerNo}}; break;
    default: choices = {{QMessageBox::Ok, AnswerOk}}; break;
    }
    // Once the program ends, nothing asks or tells: the answer is the last button's.
    if (isEnding())
        return choices.back().answer;
    QString text = prompt;
    text.replace(kCrLf, QStringLiteral("\n"));
    QMessageBox box(icon, title.value_or(applicationTitle()), text, QMessageBox::NoButton, m_parent);
    box.setTextFormat(Qt::PlainText);

    for (const Choice &c : choices)
        box.addButton(c.button);
    // Esc and the close box answer with the last (the "No"/"Cancel") button.
    box.setEscapeButton(box.button(choices.back().button));
    box.setDefaultButton(choices.front().button);
    box.exec();
    const QAbstractButton *pressed = box.clickedButton();
    for (const Choice &c : choices)
        if (pressed == box.button(c.button))
            return c.answer;
    return choices.back().answer;
}

QString QtDialogs::inputBox(const QString &prompt, const QString &title, const QString &defaultText)
{
    if (isEnding())
        return QString();
    bool accepted = false;
    const QString text = QInputDialog::getText(m_parent, title, prompt, QLineEdit::Normal,
                                               defaultText, &accepted);
    return accepted ? text : QString();
}

} // namespace rt
