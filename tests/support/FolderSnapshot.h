#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QString>

#include <sys/stat.h>

// A file as "file <size> bytes <hash>": what a comparison needs, short enough to read in a failure.
inline QByteArray fileSummary(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "unreadable file";
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(&f);
    return "file " + QByteArray::number(f.size()) + " bytes " + hash.result().toHex().left(16);
}

inline QByteArray fileSummary(const QByteArray &content)
{
    return "file " + QByteArray::number(content.size()) + " bytes "
        + QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex().left(16);
}

// Everything under a folder, hidden names included, as relative path -> what it
// is (a file's size and hash, a link's target), so "nothing changed" and "nothing left
// behind" are each one comparison.
inline QMap<QString, QByteArray> folderSnapshot(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size() + 1);
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            entries[relative] = "gone";
        } else if (S_ISLNK(st.st_mode)) {
            entries[relative] = "link to " + QFile::encodeName(QFile::symLinkTarget(path));
        } else if (S_ISREG(st.st_mode)) {
            entries[relative] = fileSummary(path);
        } else if (S_ISDIR(st.st_mode)) {
            entries[relative] = "folder";
        } else {
            entries[relative] = "node " + QByteArray::number(quint64(st.st_mode)) + ' ' + QByteArray::number(quint64(st.st_rdev));
        }
    }
    return entries;
}
