#pragma once

#include "app/MyForm.h"
#include "runtime/media/MediumWaits.h"
#include "support/ScriptedDialogs.h"
#include "support/TestDrives.h"

#include <QComboBox>
#include <QTest>
#include <memory>

// A window over a test drive map, with scripted dialogs. Lay out files first,
// then start() the window, as a user would start the program.
struct FormFixture {
    TestDrives drives;
    ScriptedDialogs dialogs;
    std::unique_ptr<MyForm> form;
    // A closed window begins the program's end; the next test starts afresh.
    ~FormFixture() { form.reset(), rt::setEnding(false); }

    MyForm &start()
    {
        form = std::make_unique<MyForm>(&dialogs);
        return *form;
    }
    MyFormControls &c() { return form->controls(); }
    CopyModule &copy() { return form->copyModule(); }

    // Shows the started window centred, as the program does; whether it came on
    // screen (Active: and took the keyboard). QVERIFY(f.show()).
    enum Wait { Exposed, Active };
    bool show(Wait until = Exposed)
    {
        form->showCentred();
        return until == Active ? QTest::qWaitForWindowActive(form.get()) : QTest::qWaitForWindowExposed(form.get());
    }
    // No copy runs: the button reads "Copy" again. Says what it reads if not.
    bool readyToCopy()
    {
        const QString caption = c().cmdCopy->caption();
        if (caption != u"Copy")
            qWarning("the copy button reads \"%s\"", qPrintable(caption));
        return caption == u"Copy";
    }

    // Picks a drive in a drive list as the user does.
    static void pickDrive(rt::DriveList *list, QChar letter)
    {
        const int index = list->findData(QVariant(QString(letter)));
        QVERIFY(index >= 0);
        list->setCurrentIndex(index);
        emit list->activated(index);
    }
    // Opens a folder in a folder list as a double-click does.
    static void openFolder(rt::FolderList *list, const QString &path)
    {
        for (int i = 0; i < list->count(); ++i) {
            if (list->itemPath(i) == path) {
                emit list->doubleClicked(list->model()->index(i, 0));
                return;
            }
        }
        QFAIL(qPrintable(QStringLiteral("%1 is not in the folder list").arg(path)));
    }
    static QStringList items(const rt::FolderBoundList *list)
    {
        QStringList out;
        for (int i = 0; i < list->count(); ++i)
            out.append(list->itemText(i));
        return out;
    }
};
