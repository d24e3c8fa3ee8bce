#pragma once

#include "copy/FormControls.h"

#include <QString>

#include <optional>

namespace rt {
class Dialogs;
class File;
class Transfer;
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
    // What the pieces left: the bytes now in the destination, how many of them
    // stand for source bytes that could not be read, and why a write failed.
    struct Outcome {
        qint64 length = 0;
        qint64 unreadBytes = 0;
        std::optional<QString> writeError;
    };

    // The checks, the question and both opens; false when the copy is refused.
    bool openFiles(rt::File &source, rt::File &dest);
    Outcome copyPieces(const rt::File &source, const rt::File &dest, rt::Transfer &transfer);
    void refuse();
    void reportFailure(const QString &what, const QString &path, const QString &reason);

    FormControls &m_form;
    rt::Dialogs &m_dialogs;
    bool m_running = false;
};
