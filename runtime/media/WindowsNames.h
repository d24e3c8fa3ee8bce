#pragma once

#include <QChar>
#include <QString>

namespace rt {

// The names media made for Windows (FAT, exFAT, NTFS) are held to.
// The first Windows naming rule a file name breaks, for the message that names
// it; none for a name Windows takes.
struct NameRuleBreak {
    enum class Rule { None, Character, ControlCharacter, TrailingDotOrSpace, ReservedName, TooLong };
    Rule rule = Rule::None;
    QChar character;  // Character, ControlCharacter, TrailingDotOrSpace
    QString reserved; // ReservedName: "CON", "COM1" ...
    // In words: "the character ':'", "a dot at its end", "the reserved name CON".
    QString text() const;
};
NameRuleBreak windowsNameRuleBreak(const QString &name);

} // namespace rt
