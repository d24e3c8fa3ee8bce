#include "runtime/media/EscapedBytes.h"

namespace rt {

QByteArray unescapeBytes(const QByteArray &text, const QByteArray &marker, int digits, int base)
{
    QByteArray out;
    out.reserve(text.size());
    const qsizetype length = 1 + marker.size() + digits;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + length <= text.size() && text.mid(i + 1, marker.size()) == marker) {
            bool ok = false;
            const int code = text.mid(i + 1 + marker.size(), digits).toInt(&ok, base);
            if (ok) {
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
