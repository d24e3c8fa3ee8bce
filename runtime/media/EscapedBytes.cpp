#include "runtime/media/EscapedBytes.h"

namespace rt {

namespace {

// The code written by digits in base; -1 unless every one is a digit of it
// (a sign or blank, which a number's reading would take, is none) and the
// code is a byte's.
int codeOf(const char *digits, int count, int base)
{
    int code = 0;
    for (int i = 0; i < count; ++i) {
        const char c = digits[i];
        const int lower = c | 0x20;
        const int digit = c >= '0' && c <= '9' ? c - '0' : lower >= 'a' && lower <= 'z' ? lower - 'a' + 10 : base;
        if (digit >= base)
            return -1;
        code = code * base + digit;
    }
    return code < 256 ? code : -1;
}

} // namespace

QByteArray unescapeBytes(const QByteArray &text, const QByteArray &marker, int digits, int base)
{
    QByteArray out;
    out.reserve(text.size());
    const qsizetype length = 1 + marker.size() + digits;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + length <= text.size() && text.mid(i + 1, marker.size()) == marker) {
            if (const int code = codeOf(text.constData() + i + 1 + marker.size(), digits, base); code >= 0) {
                out.append(char(code));
                i += length - 1;
                continue;
            }
        }
        out.append(text[i]);
    }
    return out;
}

} // namespace rt
