#include "runtime/files/NameProbe.h"

#include "runtime/posix/PosixIo.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace rt {

bool driverTakesName(const QString &hostFolder, const NameRuleBreak &broken)
{
    using Rule = NameRuleBreak::Rule;
    if (broken.rule == Rule::TooLong)
        return false;
    if (broken.rule == Rule::None)
        return true;
    const QString tag = QStringLiteral(".duplon-probe-") + QString::number(QRandomGenerator::global()->generate(), 36);
    const QString probe = broken.rule == Rule::ReservedName ? broken.reserved + tag : tag + broken.character;
    const QByteArray path = QFile::encodeName(hostFolder + u'/' + probe);
    const int fd = posix::retryEintr([&] { return ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
    if (fd >= 0) {
        ::close(fd);
        ::unlink(path.constData());
        return true;
    }
    // Refusals that say nothing of the name: the copy will meet them itself.
    return errno == EACCES || errno == EPERM || errno == EROFS || errno == ENOSPC || errno == EDQUOT
        || errno == EEXIST || errno == EIO;
}

} // namespace rt
