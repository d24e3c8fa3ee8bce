#include "app/MyForm.h"
#include "runtime/desktop/WindowSystem.h"
#include "runtime/media/MediumWaits.h"
#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QStyleFactory>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

// The folder or file given on the command line, if any, as its bytes (a file
// name need not be valid UTF-8). --help and --version print and end the
// program here, before the window system is reached, so they also answer
// where there is no display.
std::optional<QByteArray> parseArguments(int &argc, char *argv[])
{
    const QCoreApplication parsing(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Copies one file at a time, from any drive to any folder, under a name you choose."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("folder"),
                                 QStringLiteral("The folder both sides start in (default: the current folder); "
                                                "for a file, its folder, with the file chosen."),
                                 QStringLiteral("[folder | file]"));
    parser.process(parsing);
    const QStringList folders = parser.positionalArguments();
    if (folders.size() > 1) {
        // Say what is wrong in one line, as command-line tools do.
        std::fprintf(stderr, "duplon: one folder or file at most, but %d arguments were given (extra: \"%s\"); see duplon --help\n",
                     int(folders.size()), qPrintable(folders.mid(1).join(QStringLiteral("\", \""))));
        std::exit(2);
    }
    if (folders.isEmpty())
        return std::nullopt;
    // The argument's own bytes: the one that reads as the parser's text.
    for (int i = argc - 1; i > 0; --i)
        if (QFile::decodeName(argv[i]) == folders.first())
            return QByteArray(argv[i]);
    return QFile::encodeName(folders.first());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("Duplon"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.01.0005"));
    const std::optional<QByteArray> given = parseArguments(argc, argv);

    rt::Drives::Entered start;
    if (given) {
        try {
            start = rt::Drives::instance().enterPath(*given);
        } catch (const rt::RtError &e) {
            std::fprintf(stderr, "duplon: %s: %s\n", given->constData(), qPrintable(e.reason()));
            return 2;
        }
    }

    rt::chooseWindowSystem();
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.duplon.Duplon"));
    // One look on every desktop, so the window's colours show as laid out.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    MyForm form;
    if (!start.file.isEmpty())
        form.openFile(start.folder, start.file);
    else if (!start.folder.isEmpty())
        form.openFolder(start.folder);
    form.showCentred();
    // A call left waiting on a silent medium must not return into what the
    // program takes down as it ends.
    return rt::endLeavingMedia(app.exec());
}
