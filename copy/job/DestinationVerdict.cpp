#include "copy/job/DestinationVerdict.h"

#include "runtime/media/WindowsNames.h"
#include "runtime/Dialogs.h"
#include "runtime/text/NumberText.h"

#include <cerrno>

namespace {

QString bytesText(qint64 bytes)
{
    return rt::exactSizeText(bytes);
}

qint64 roundUp(qint64 bytes, qint64 unit) { return unit > 0 ? (bytes + unit - 1) / unit * unit : bytes; }

} // namespace

DestinationVerdict judgeDestination(const DestinationFacts &f)
{
    DestinationVerdict verdict;
    verdict.options.modified = f.source.modified;
    const rt::Volume &v = f.volume;
    const QString where = QStringLiteral("drive %1 (%2)").arg(f.driveText, v.type);

    // Names first: nothing else matters for a name that cannot be written.
    const rt::NameRuleBreak nameBreak = v.windowsNames ? rt::windowsNameRuleBreak(f.name) : rt::NameRuleBreak();
    if (nameBreak.rule != rt::NameRuleBreak::Rule::None) {
        if (!f.driverTakesName) {
            verdict.refusal = QStringLiteral("The file name '%1' cannot be written on %2.").arg(f.name, where) + rt::kCrLf
                + QStringLiteral("Its file system takes no names with %1.").arg(nameBreak.text());
            return verdict;
        }
        verdict.nameQuestion =
            QStringLiteral("The file name '%1' has %2, which Windows does not allow.").arg(f.name, nameBreak.text())
            + rt::kCrLf
            + QStringLiteral("%1 takes it, but on Windows the file could not be opened.").arg(where.at(0).toUpper() + where.mid(1))
            + rt::kCrLf + QStringLiteral("Do you want to copy under this name anyway?");
    }

    const int writeError = f.replaced.writeError;
    if ((f.replaces || f.twin) && (writeError == EACCES || writeError == EPERM) && !f.replaced.ours) {
        verdict.refusal = QStringLiteral("The file %1 cannot be replaced.").arg(f.destText) + rt::kCrLf
            + QStringLiteral("It is read-only for you, and only its owner may replace it.");
        return verdict;
    }

    if (v.maxFileSize >= 0 && f.source.size > v.maxFileSize) {
        verdict.refusal = QStringLiteral("The file %1 is too large for %2.").arg(f.sourceText, where) + rt::kCrLf
            + QStringLiteral("It has %1; the largest file that file system takes has %2.")
                  .arg(bytesText(f.source.size), bytesText(v.maxFileSize));
        return verdict;
    }

    // Where the typed name already finds that file (a medium that ignores
    // case), the rename onto it replaces it: nothing else is to be removed.
    if (f.twin && !f.replaces)
        verdict.options.caseTwin = *f.twin;
    if (f.twin && (!f.replaces || v.ignoresCase))
        verdict.inPlaceTwin = *f.twin;

    // Room. A sparse source needs only its data where the file system has
    // holes; FAT and exFAT write every byte.
    if (v.freeBytes < 0)
        return verdict;
    const qint64 need = roundUp(v.hasHoles ? f.source.dataBytes : f.source.size, v.blockSize);
    // Within one btrfs or xfs volume the copy shares the source's extents.
    const bool sharesExtents = v.mayShareOrCompress && f.source.fsDevice == v.fsDevice;
    if (need <= v.freeBytes || sharesExtents) {
        if (v.reserveHelps && !v.mayShareOrCompress && (!v.hasHoles || f.source.dataBytes >= f.source.size))
            verdict.options.reserve = need;
        return verdict;
    }
    // What the old file frees once it is written over.
    const qint64 freedInPlace = (f.replaces || f.twin) && f.replaced.allocated > 0 ? f.replaced.allocated : 0;
    if (freedInPlace > 0 && need <= v.freeBytes + freedInPlace) {
        verdict.roomOnlyInPlace = true;
        return verdict;
    }
    // btrfs's free space is an estimate, and it may compress any file: try.
    if (v.type == u"btrfs")
        return verdict;
    verdict.refusal = QStringLiteral("The file %1 does not fit on %2.").arg(f.sourceText, where) + rt::kCrLf
        + QStringLiteral("The copy needs %1 there; the drive has %2 free").arg(bytesText(need), bytesText(v.freeBytes))
        + (freedInPlace > 0 ? QStringLiteral(", and %1 more in place of the old file.").arg(bytesText(freedInPlace))
                            : QStringLiteral("."));
    return verdict;
}

QString inPlaceQuestion(const QString &driveText, const QString &destText)
{
    return QStringLiteral("Drive %1 has room for the new file %2 only in place of the old one.").arg(driveText, destText)
        + rt::kCrLf + QStringLiteral("Written in place, the old file is lost if the copy is stopped or fails.") + rt::kCrLf
        + QStringLiteral("Do you want to replace it in place?");
}
