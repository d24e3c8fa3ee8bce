#include "app/MyForm.h"
#include "runtime/desktop/WindowSystem.h"
#include "runtime/media/MediumWaits.h"
#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QStyleFactory>

#include <cstdio>
#include <cstdlib>

namespace {

// The folder given on the command line, if any. --help and --version print and
// end the program here, before the window system is reached, so they also
// answer where there is no display.
QStringList parseArguments(int &argc, char *argv[])
{
    const QCoreApplication parsing(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Copies one file at a time, from any drive to any folder, under a name you choose."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("folder"),
                                 QStringLiteral("The folder both sides start in (default: the current folder)."),
                                 QStringLiteral("[folder]"));
    parser.process(parsing);
    const QStringList folders = parser.positionalArguments();
    if (folders.size() > 1) {
        // Say what is wrong in one line, as command-line tools do.
        std::fprintf(stderr, "duplon: one folder at most, but %d arguments were given (extra: \"%s\"); see duplon --help\n",
                     int(folders.size()), qPrintable(folders.mid(1).join(QStringLiteral("\", \""))));
        std::exit(2);
    }
    return folders;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("Duplon"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.01.0005"));
    const QStringList folders = parseArguments(argc, argv);

    QString startFolder;
    if (!folders.isEmpty()) {
        try {
            startFolder = rt::Drives::instance().enterFolder(folders.first());
        } catch (const rt::RtError &e) {
            std::fprintf(stderr, "duplon: %s: %s\n", qPrintable(folders.first()), qPrintable(e.reason()));
            return 2;
        }
    }

    rt::chooseWindowSystem();
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.duplon.Duplon"));
    // One look on every desktop, so the window's colours show as laid out.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    MyForm form;
    if (!startFolder.isEmpty())
        form.openFolder(startFolder);
    form.showCentred();
    // A call left waiting on a silent medium must not return into what the
    // program takes down as it ends.
    return rt::endLeavingMedia(app.exec());
}
