#include "runtime/text/NameOrder.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <string_view>

namespace rt {

namespace {

constexpr bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

QLocale collationLocale(const QLocale &locale)
{
    return locale.language() == QLocale::C ? QLocale(QLocale::English, QLocale::UnitedStates) : locale;
}

// A run of digits without its leading zeros (one zero stays for zero).
QStringView significant(QStringView digits)
{
    qsizetype i = 0;
    while (i + 1 < digits.size() && digits[i] == u'0')
        ++i;
    return digits.mid(i);
}

int compareNumbers(QStringView a, QStringView b)
{
    a = significant(a);
    b = significant(b);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

// A name cut into runs of digits and runs of anything else, for a collator
// that does not compare numbers itself.
struct Runs {
    struct Run {
        bool digits;
        QString text;
        std::optional<QCollatorSortKey> key;
    };
    std::vector<Run> runs;

    Runs(const QString &name, const QCollator &collator)
    {
        qsizetype i = 0;
        while (i < name.size()) {
            const bool digits = name[i].isDigit();
            qsizetype j = i;
            while (j < name.size() && name[j].isDigit() == digits)
                ++j;
            Run run{digits, name.mid(i, j - i), std::nullopt};
            if (!digits)
                run.key.emplace(collator.sortKey(run.text));
            runs.push_back(std::move(run));
            i = j;
        }
    }

    static int compare(const Runs &a, const Runs &b, const QCollator &collator)
    {
        const size_t n = std::min(a.runs.size(), b.runs.size());
        for (size_t i = 0; i < n; ++i) {
            const Run &x = a.runs[i];
            const Run &y = b.runs[i];
            int c;
            if (x.digits && y.digits)
                c = compareNumbers(x.text, y.text);
            else if (!x.digits && !y.digits)
                c = x.key->compare(*y.key);
            else
                c = collator.compare(x.text, y.text);
            if (c != 0)
                return c;
        }
        return a.runs.size() == b.runs.size() ? 0 : a.runs.size() < b.runs.size() ? -1 : 1;
    }
};

} // namespace

NameOrder::NameOrder(const QLocale &locale) : NameOrder(QCollator(collationLocale(locale)))
{
    learnAsciiOrder(collationLocale(locale));
}

NameOrder::NameOrder(QCollator collator) : m_collator(std::move(collator))
{
    m_collator.setCaseSensitivity(Qt::CaseInsensitive);
    m_collator.setNumericMode(true);
    m_collator.setIgnorePunctuation(false);
    // Some collators (Qt's for the C locale, those without ICU) take numeric
    // mode and ignore it.
    m_ownDigits = m_collator.compare(QStringLiteral("file2"), QStringLiteral("file10")) >= 0;
}

void NameOrder::learnAsciiOrder(const QLocale &locale)
{
    // English orders ASCII as Unicode's root order does: one weight per
    // character, letters of either case alike. Other languages tailor letters
    // (Danish "aa", Czech "ch", Turkish dotless i), so their names always go
    // to the collator.
    if (m_ownDigits || locale.language() != QLocale::English)
        return;
    std::vector<char> chars;
    for (int c = 1; c < 128; ++c)
        if (!(c >= 'A' && c <= 'Z') && !(c > '0' && c <= '9') && c != '/')
            chars.push_back(char(c));
    auto text = [](char c) { return QString(QChar(c)); };
    std::stable_sort(chars.begin(), chars.end(),
                     [&](char a, char b) { return m_collator.compare(text(a), text(b)) < 0; });
    int rank = 0;
    for (size_t i = 0; i < chars.size(); ++i) {
        const unsigned char c = chars[i];
        if (m_collator.compare(text(char(c)), QString()) == 0) {
            m_rank[c] = 0; // ignored altogether
            continue;
        }
        if (rank == 0 || m_collator.compare(text(chars[i - 1]), text(char(c))) != 0)
            ++rank;
        if (rank > 250)
            return;
        m_rank[c] = static_cast<unsigned char>(rank);
    }
    for (int c = '1'; c <= '9'; ++c)
        m_rank[c] = m_rank['0'];
    for (int c = 'A'; c <= 'Z'; ++c)
        m_rank[c] = m_rank[c - 'A' + 'a'];
    // The table holds only if digits form one block and case is ignored.
    for (char c : chars) {
        if (isDigit(c) || m_rank[static_cast<unsigned char>(c)] == 0)
            continue;
        if ((m_collator.compare(QStringLiteral("0"), text(c)) < 0)
            != (m_collator.compare(QStringLiteral("9"), text(c)) < 0))
            return;
    }
    m_asciiTable = m_collator.compare(QStringLiteral("A"), QStringLiteral("a")) == 0;
}

void NameOrder::appendAsciiKey(std::string &key, const char *name, quint32 length) const
{
    // The weights of the characters; a run of digits as the digits' weight,
    // the count of its significant digits, and those digits: byte order is then
    // the order of the names.
    for (quint32 i = 0; i < length;) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (!isDigit(c)) {
            if (m_rank[c & 0x7F] != 0)
                key += char(m_rank[c & 0x7F]);
            ++i;
            continue;
        }
        quint32 end = i;
        while (end < length && isDigit(static_cast<unsigned char>(name[end])))
            ++end;
        while (i + 1 < end && name[i] == '0')
            ++i;
        key += char(m_rank['0']);
        key += char(std::min<quint32>(end - i, 255));
        key.append(name + i, end - i);
        i = end;
    }
}

QStringList NameOrder::sorted(const std::string &bytes, const std::vector<std::pair<quint32, quint32>> &spans,
                              bool ascii) const
{
    QStringList names;
    names.reserve(qsizetype(spans.size()));
    if (ascii && m_asciiTable) {
        // Plain ASCII, the usual case: each name is turned into a key once,
        // and the keys compare as bytes.
        // (All keys in one buffer: a folder can hold 100,000 names.)
        std::string keys;
        keys.reserve(bytes.size() + 2 * spans.size());
        std::vector<std::pair<quint32, quint32>> keySpans;
        keySpans.reserve(spans.size());
        for (const auto &[offset, length] : spans) {
            const auto start = quint32(keys.size());
            appendAsciiKey(keys, bytes.data() + offset, length);
            keySpans.emplace_back(start, quint32(keys.size()) - start);
        }
        std::vector<quint32> order(spans.size());
        std::iota(order.begin(), order.end(), 0u);
        auto view = [](const std::string &in, std::pair<quint32, quint32> span) {
            return std::string_view(in.data() + span.first, span.second);
        };
        std::sort(order.begin(), order.end(), [&](quint32 x, quint32 y) {
            const int c = view(keys, keySpans[x]).compare(view(keys, keySpans[y]));
            return c != 0 ? c < 0 : view(bytes, spans[x]) < view(bytes, spans[y]);
        });
        for (quint32 i : order)
            names.append(QString::fromLatin1(bytes.data() + spans[i].first, qsizetype(spans[i].second)));
        return names;
    }
    for (const auto &[offset, length] : spans)
        names.append(QFile::decodeName(QByteArray::fromRawData(bytes.data() + offset, qsizetype(length))));
    return sortedByCollator(std::move(names));
}

QStringList NameOrder::sorted(const QStringList &names) const
{
    std::string bytes;
    std::vector<std::pair<quint32, quint32>> spans;
    bool ascii = true;
    for (const QString &name : names) {
        const QByteArray encoded = QFile::encodeName(name);
        spans.emplace_back(quint32(bytes.size()), quint32(encoded.size()));
        bytes.append(encoded.constData(), size_t(encoded.size()));
        ascii = ascii && std::all_of(encoded.begin(), encoded.end(), [](char c) { return (c & 0x80) == 0; });
    }
    return sorted(bytes, spans, ascii);
}

QStringList NameOrder::sortedByCollator(QStringList names) const
{
    std::vector<quint32> order(size_t(names.size()));
    std::iota(order.begin(), order.end(), 0u);
    auto byText = [&](quint32 x, quint32 y) { return names[x] < names[y]; };
    if (!m_ownDigits) {
        std::vector<QCollatorSortKey> keys;
        keys.reserve(order.size());
        for (const QString &name : std::as_const(names))
            keys.push_back(m_collator.sortKey(name));
        std::sort(order.begin(), order.end(), [&](quint32 x, quint32 y) {
            const int c = keys[x].compare(keys[y]);
            return c != 0 ? c < 0 : byText(x, y);
        });
    } else {
        std::vector<Runs> runs;
        runs.reserve(order.size());
        for (const QString &name : std::as_const(names))
            runs.emplace_back(name, m_collator);
        std::sort(order.begin(), order.end(), [&](quint32 x, quint32 y) {
            const int c = Runs::compare(runs[x], runs[y], m_collator);
            return c != 0 ? c < 0 : byText(x, y);
        });
    }
    QStringList out;
    out.reserve(names.size());
    for (quint32 i : order)
        out.append(std::move(names[i]));
    return out;
}

} // namespace rt
