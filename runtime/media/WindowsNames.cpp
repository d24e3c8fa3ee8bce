#include "runtime/media/WindowsNames.h"

#include <QStringList>

namespace rt {

QString NameRuleBreak::text() const
{
    switch (rule) {
    case Rule::None:
        break;
    case Rule::Character:
        return QStringLiteral("the character '%1'").arg(character);
    case Rule::ControlCharacter:
        return QStringLiteral("a control character (code %1)").arg(character.unicode());
    case Rule::TrailingDotOrSpace:
        return character == u'.' ? QStringLiteral("a dot at its end") : QStringLiteral("a space at its end");
    case Rule::ReservedName:
        return QStringLiteral("the name %1, kept for a device").arg(reserved);
    case Rule::TooLong:
        return QStringLiteral("more than 255 characters");
    }
    return QString();
}

NameRuleBreak windowsNameRuleBreak(const QString &name)
{
    using Rule = NameRuleBreak::Rule;
    for (QChar c : name) {
        if (c.unicode() < 0x20)
            return {Rule::ControlCharacter, c, {}};
        if (QStringView(u"\\/:*?\"<>|").contains(c))
            return {Rule::Character, c, {}};
    }
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return {Rule::TrailingDotOrSpace, name.back(), {}};
    // "CON", "con.txt", "LPT1.tar.gz": the part before the first dot counts,
    // with any spaces at its end, which Windows drops.
    const QString stem = name.section(u'.', 0, 0).trimmed().toUpper();
    static const QStringList devices = [] {
        QStringList d{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"), QStringLiteral("NUL")};
        for (int n = 1; n <= 9; ++n)
            d << QStringLiteral("COM%1").arg(n) << QStringLiteral("LPT%1").arg(n);
        return d;
    }();
    if (devices.contains(stem))
        return {Rule::ReservedName, QChar(), stem};
    if (name.size() > 255) // QString counts UTF-16 units, as Windows does
        return {Rule::TooLong, QChar(), {}};
    return {};
}

} // namespace rt
