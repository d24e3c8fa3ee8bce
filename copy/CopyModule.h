#pragma once

#include "copy/FormControls.h"

#include <QString>

namespace rt {
class Dialogs;
}

// The copy engine: the state the window shares with it, the paths it copies
// between, the check of the user's choice, and the piecewise copy itself.
class CopyModule {
public:
    static constexpr qint64 kLargePiece = 1048576;
    static constexpr qint64 kSmallPiece = 1024;

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

private:
    void refuse();
    void reportFailure(const QString &what, const QString &path, const QString &reason);

    FormControls &m_form;
    rt::Dialogs &m_dialogs;
    bool m_running = false;
};
