#pragma once

#include <QCollator>
#include <QLocale>
#include <QStringList>

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace rt {

// The order of names in the folder and file lists, as file managers sort:
// by the user's language (accented letters among their letters), letter case
// ignored, runs of digits by their value ("file2" before "file10"). Names
// equal in that order stand by their exact text.
class NameOrder {
public:
    // The collation of that locale; the C locale, which names no language,
    // takes Unicode's language-neutral order (English adds nothing to it).
    explicit NameOrder(const QLocale &locale = QLocale());
    // For a collator as it is: the C locale's ignores numbers and accents.
    explicit NameOrder(QCollator collator);

    // Names given as their bytes end to end and where each lies (offset,
    // length); ascii when no byte is 0x80 or above.
    QStringList sorted(const std::string &bytes, const std::vector<std::pair<quint32, quint32>> &spans,
                       bool ascii) const;
    QStringList sorted(const QStringList &names) const;

    // True where the collator ignores numeric mode and runs of digits are
    // compared here instead.
    bool comparesDigitsItself() const { return m_ownDigits; }
    // True where plain ASCII names are ordered by a table of the collator's
    // own order of the characters, without asking it for every name.
    bool hasAsciiTable() const { return m_asciiTable; }

private:
    void learnAsciiOrder(const QLocale &locale);
    void appendAsciiKey(std::string &key, const char *name, quint32 length) const;
    QStringList sortedByCollator(QStringList names) const;

    QCollator m_collator;
    bool m_ownDigits = false;
    bool m_asciiTable = false;
    // Each ASCII character's place in the order (0: ignored, as control
    // characters are); digits all stand at kDigit's place, runs then by value.
    std::array<unsigned char, 128> m_rank{};
};

} // namespace rt
