#include "runtime/media/Drives.h"

#include "runtime/text/RtError.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace rt {

namespace {

QString hostCwd()
{
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    return cwd ? QFile::decodeName(cwd.get()) : QStringLiteral("/");
}

} // namespace

QChar Drives::currentDrive() const
{
    const QString cwd = hostCwd();
    QChar best = u'c';
    qsizetype bestLength = -1;
    const std::lock_guard lock(m_mutex);
    for (const auto &[letter, root] : m_roots) {
        const auto mounted = m_mounted.find(letter);
        if (mounted == m_mounted.end() || !mounted->second)
            continue;
        const bool holds = root == u"/" || cwd == root || cwd.startsWith(root + u'/');
        if (holds && root.size() > bestLength) {
            best = letter;
            bestLength = root.size();
        }
    }
    return best;
}

QString Drives::enterFolder(const QString &hostPath) const
{
    if (chdir(QFile::encodeName(hostPath).constData()) != 0)
        throw errorFromErrno(errno, NameKind::Folder);
    const QChar letter = currentDrive();
    return currentFolder(letter);
}

Drives::Entered Drives::enterPath(const QByteArray &hostPath) const
{
    struct stat st {};
    if (stat(hostPath.constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return {enterFolder(QFile::decodeName(hostPath)), {}}; // a missing path says why there
    // A file: its folder, with it chosen. The name keeps its bytes, which need
    // not be valid UTF-8.
    const qsizetype slash = hostPath.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : hostPath.left(slash);
    return {enterFolder(QFile::decodeName(folder)), hostPath.mid(slash + 1)};
}

QString Drives::currentFolder(QChar letter) const
{
    const QString rootPath = QStringLiteral("%1:\\").arg(letter.toUpper());
    if (currentDrive() != letter.toLower())
        return rootPath;
    return toDrivePath(letter, hostCwd()).value_or(rootPath);
}

} // namespace rt
