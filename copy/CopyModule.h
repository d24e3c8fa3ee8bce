#pragma once

#include "copy/rescue/CopyEngine.h"
#include "runtime/controls/MyFormControls.h"

#include <QString>

#include <functional>

class CopyJob;
namespace rt {
class Dialogs;
}

// The window's side of a copy: the state it shares with the window, the paths
// it copies between, the check of the user's choice, and the bar and captions
// a running copy shows. The copy itself, with its names fixed when it starts,
// is a CopyJob that lives exactly as long as StartCopy runs.
class CopyModule : public CopyProgress {
public:
    CopyModule(MyFormControls &form, rt::Dialogs &dialogs);

    // Full path of the source file; also written by a click in the file list,
    // which prepares the next copy and leaves a running one alone.
    QString SourceFile;
    // Full path of the destination file.
    QString DestFile;
    // The run flag: the only signal from the window to a running copy.
    bool Copying = false;

    QString GetSourcePath() const;
    QString GetDestPath() const;
    bool CheckSelection();
    void StartCopy();

    // Whether a copy runs (StartCopy is on the stack, maybe stopping): the one
    // run state, which the caption of cmdCopy follows.
    bool isRunning() const { return m_job != nullptr; }
    // Asks the running copy to stop after the operation under way.
    void Stop();
    // Stops it as the window closes: a rescue is kept without a question.
    void Leave();
    // The running copy's operation has not let a stop through within the
    // answer limit: its medium does not answer, and the copy is left to it.
    bool isStalled() const;
    // Says so: which drive does not answer, and what becomes of the copy.
    void tellStalled();

    // How the last copy ended, for what the desktop shows outside the window.
    struct Ending {
        using Kind = CopyEnd; // Refused: refused, or none yet
        Kind kind = Kind::Refused;
        QString destination; // the copy's file, as messages show it
        QString words;       // NamedInDoubt: what the window says of it; Stopped: of its partial file
    };
    const Ending &lastEnding() const { return m_lastEnding; }
    // Called as a copy ends, before its closing message waits for the user.
    void setEndingHook(std::function<void(const Ending &)> hook) { m_endingHook = std::move(hook); }

    void showProgress(int percent, qint64 rescued, qint64 readPosition) override;
    bool yieldAndGoOn() override;
    bool goingOn() const override { return Copying; }
    bool leaving() const override { return m_leaving; }
    void copyEnded(CopyEnd end, const QString &words) override;

private:
    // The one place the caption of cmdCopy is given from the run state.
    void showRunState();
    // The copy's drive that does not answer, as its drive list shows it.
    QString silentDrive() const;

    MyFormControls &m_form;
    rt::Dialogs &m_dialogs;
    CopyJob *m_job = nullptr;
    bool m_leaving = false;
    Ending m_lastEnding;
    std::function<void(const Ending &)> m_endingHook;
};
