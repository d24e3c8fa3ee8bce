#pragma once

#include "copy/CopyEngine.h"
#include "runtime/FormControls.h"

#include <QString>

#include <optional>

namespace rt {
class Destination;
class Dialogs;
class File;
}

// The window's side of a copy: the state it shares with the window, the paths
// it copies between, the check of the user's choice, the questions and the
// closing message. The bytes are moved by CopyEngine, which reports back here.
class CopyModule : public CopyProgress {
public:
    CopyModule(FormControls &form, rt::Dialogs &dialogs);

    // Full path of the source file; also written by a click in the file list.
    QString SourceFile;
    // Full path of the destination file.
    QString DestFile;
    // The run flag: the only signal from the window to a running copy.
    bool Copying = false;

    QString GetSourcePath() const;
    QString GetDestPath() const;
    bool CheckSelection();
    void StartCopy();

    // True while StartCopy is on the stack; handlers that run inside its
    // yields use it to keep from starting or ending things under it.
    bool isRunning() const { return m_running; }

    // How the last copy ended, for what the desktop shows outside the window.
    struct Ending {
        enum class Kind { None, Completed, Stopped, Failed }; // None: refused, or none yet
        Kind kind = Kind::None;
        QString destination; // the copy's file, as messages show it
    };
    const Ending &lastEnding() const { return m_lastEnding; }

    void showProgress(int percent, qint64 rescued, qint64 readPosition) override;
    bool yieldAndGoOn() override;

private:
    // The checks, the question and both opens; false when the copy is refused.
    bool openFiles(rt::File &source, rt::Destination &dest);
    void refuse();
    void reportFailure(const QString &what, const QString &path, const QString &reason);
    // The closing message of a completed copy; writes the map of any damage.
    void announce(const CopyEngine &engine, const CopyEngine::Outcome &outcome);
    // Writes the map beside the destination under a free name; that name, or
    // why it could not be written.
    QString writeMap(const RescueMap &map, bool &written);

    FormControls &m_form;
    rt::Dialogs &m_dialogs;
    bool m_running = false;
    Ending m_lastEnding;
};
