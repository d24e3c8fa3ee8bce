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
    // A caption with a name of its own for a screen reader (a figure such as
    // "Bytes Copied") is heard as that name with the caption as its text.
    if (!accessibleName().isEmpty())
        setAccessibleDescription(m_caption);
    emit captionSet(m_caption);
    postToScreen();
}

void Label::applyToScreen() { setText(m_caption); }

} // namespace rt
