// The mount table's \ooo and udev's \xNN on any bytes: never a crash, never
// longer than what was read, and what the kernel escapes reads back whole.
#include "runtime/media/EscapedBytes.h"
#include "runtime/media/MountTable.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const rt::MountEntry &e : rt::parseMountTable(text))
        if (e.device.size() > text.size() || e.mountPoint.size() > text.size())
            std::abort();
    if (rt::unescapeBytes(text, "x", 2, 16).size() > text.size())
        std::abort();
    // Escaped as the kernel escapes a mount folder, any bytes come back.
    QByteArray escaped;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char code[5];
            std::snprintf(code, sizeof code, "\\%03o", unsigned(static_cast<unsigned char>(c)));
            escaped += code;
        } else {
            escaped += c;
        }
    }
    const std::vector<rt::MountEntry> table = rt::parseMountTable("dev " + escaped + " ext4 rw 0 0\n");
    if (table.size() != 1 || table[0].mountPoint != text)
        std::abort();
    return 0;
}
