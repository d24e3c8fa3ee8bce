#include "runtime/controls/Label.h"

namespace rt {

Label::Label(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
}

void Label::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    emit captionSet(m_caption);
    postToScreen();
}

void Label::applyToScreen() { setText(m_caption); }

} // namespace rt
