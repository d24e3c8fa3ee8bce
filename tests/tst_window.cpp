#include "support/FormFixture.h"
#include "runtime/controls/FolderPictures.h"

#include <QAccessible>
#include <QAction>
#include <QScrollBar>
#include <QApplication>
#include <QMenu>
#include <QGroupBox>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <functional>

namespace {

// Runs what should open a popup; gives the popup's name ("" when none opened)
// and place, and lets `use` act in it before it closes.
QString popupAfter(const std::function<void()> &act, const std::function<void(QMenu *)> &use = {}, QRect *place = nullptr)
{
    QString opened;
    auto look = [&] {
        auto *popup = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!popup)
            return false;
        opened = popup->objectName();
        if (place)
            *place = popup->geometry();
        if (use)
            use(popup);
        popup->close();
        return true;
    };
    // Looked for until it is up: what opens it may first run events while it
    // waits on a medium (the menu key chooses a file, whose size is read), and
    // a look made then would find nothing and leave the popup open for good.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (look())
            poll.stop();
    });
    poll.start(10);
    act();
    QCoreApplication::processEvents();
    poll.stop();
    if (opened.isEmpty())
        look();
    return opened;
}

QString popupAfterPress(QWidget *viewport, Qt::MouseButton button)
{
    return popupAfter([&] { QTest::mouseClick(viewport, button, {}, QPoint(10, 5)); });
}

// Pixels that are black or white in one picture of a widget and different in
// the other: a focus mark that stands out.
int markPixels(const QImage &marked, const QImage &unmarked)
{
    int n = 0;
    for (int y = 0; y < std::min(marked.height(), unmarked.height()); ++y)
        for (int x = 0; x < std::min(marked.width(), unmarked.width()); ++x) {
            const QRgb p = marked.pixel(x, y);
            if (p != unmarked.pixel(x, y) && (qGray(p) < 16 || qGray(p) > 239))
                ++n;
        }
    return n;
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void controlsAreLaidOutAsDesigned_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QColor>("textColour");
        QTest::addColumn<double>("points");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("underline");

        const QColor none;
        auto row = [](const char *name, const char *container, QRect r, const char *caption, QColor text,
                      double points, bool bold, bool underline) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(container) << r
                                << QString::fromLatin1(caption) << text << points << bold << underline;
        };
        row("Frame2", "MyForm", {120, 3240, 2055, 2775}, "Select Destination:", QColor(0, 0, 255), 9.75, true, true);
        row("txtDest", "Frame2", {240, 2400, 1695, 285}, "Talmo", none, 8.25, false, false);
        row("Dir2", "Frame2", {240, 720, 1575, 1440}, "", QColor(0, 255, 0), 8.25, false, false);
        row("drv2", "Frame2", {240, 360, 1575, 315}, "", QColor(0, 255, 0), 8.25, false, false);
        row("Label2", "Frame2", {240, 2160, 975, 255}, "File Name:", QColor(0, 0, 255), 8.25, true, false);
        row("Frame1", "MyForm", {120, 120, 5415, 2895}, "Select Source:", QColor(0, 0, 0), 9.75, true, true);
        row("KorFile", "Frame1", {2040, 360, 3255, 2235}, "", QColor(0, 0, 255), 8.25, false, false);
        row("KorDir", "Frame1", {120, 720, 1815, 1890}, "", QColor(128, 128, 255), 8.25, false, false);
        row("KorDrv", "Frame1", {120, 360, 1815, 315}, "", QColor(192, 192, 255), 8.25, false, false);
        row("KorBar", "MyForm", {5640, 240, 255, 5775}, "", none, 8.25, false, false);
        row("cmdExit", "MyForm", {3600, 5520, 1215, 495}, "E&xit", none, 8.25, false, false);
        row("cmdCopy", "MyForm", {2400, 5520, 1215, 495}, "Copy", none, 8.25, false, false);
        row("Label3", "MyForm", {2280, 5040, 1095, 255}, "Bytes Copied:", QColor(224, 224, 224), 8.25, false, false);
        row("lblInputLoc", "MyForm", {3720, 5040, 1455, 255}, "", QColor(64, 0, 0), 8.25, false, false);
        row("Label1", "MyForm", {2280, 4440, 1335, 255}, "File Copied:", QColor(0, 64, 0), 9.75, true, true);
        row("lblCopied", "MyForm", {3840, 4440, 1935, 255}, "", QColor(0, 128, 0), 9.75, true, false);
        row("lblBytes", "MyForm", {2280, 3840, 3495, 255}, "Source File Size:", QColor(192, 64, 0), 9.75, true, true);
    }
    void controlsAreLaidOutAsDesigned()
    {
        QFETCH(QString, name);
        QFETCH(QString, container);
        QFETCH(QRect, twips);
        QFETCH(QString, caption);
        QFETCH(QColor, textColour);
        QFETCH(double, points);
        QFETCH(bool, bold);
        QFETCH(bool, underline);

        FormFixture f;
        MyForm &form = f.start();
        auto *widget = form.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->parentWidget()->objectName(), container);
        QCOMPARE(widget->geometry(),
                 QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
        QVERIFY(widget->isVisibleTo(&form));
        QVERIFY(widget->isEnabled());
        // A face wider than the window's own sets a caption a little smaller.
        QVERIFY(widget->font().pointSizeF() <= points && widget->font().pointSizeF() >= points * 0.7);
        QCOMPARE(widget->font().bold(), bold);
        QCOMPARE(widget->font().underline(), underline);

        if (auto *label = qobject_cast<rt::Label *>(widget)) {
            QCOMPARE(label->caption(), caption);
            QCOMPARE(label->text(), caption);
            QVERIFY(!label->autoFillBackground()); // transparent
            QCOMPARE(label->palette().color(QPalette::WindowText), textColour);
        } else if (auto *frame = qobject_cast<rt::Frame *>(widget)) {
            QCOMPARE(frame->title(), caption);
            QCOMPARE(frame->palette().color(QPalette::Window), QColor(128, 128, 255));
            QCOMPARE(frame->palette().color(QPalette::WindowText), textColour);
        } else if (auto *button = qobject_cast<rt::CommandButton *>(widget)) {
            QCOMPARE(button->caption(), caption);
        } else if (auto *text = qobject_cast<rt::TextBox *>(widget)) {
            QCOMPARE(text->text(), caption);
            QCOMPARE(text->palette().color(QPalette::Base), QColor(192, 64, 0));
        } else if (qobject_cast<QListView *>(widget) || qobject_cast<QComboBox *>(widget)) {
            QCOMPARE(widget->palette().color(QPalette::Base), QColor(0, 0, 0));
            QCOMPARE(widget->palette().color(QPalette::Text), textColour);
        }
    }

    void windowAsAWhole()
    {
        FormFixture f;
        MyForm &form = f.start();
        QCOMPARE(form.windowTitle(), QStringLiteral("Talmo's File Copy Program"));
        QCOMPARE(form.size(), QSize(5940 / 15, 6105 / 15));
        QCOMPARE(form.palette().color(QPalette::Window), QColor(128, 128, 255));
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(form.windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!form.windowIcon().isNull());
        QVERIFY(!form.findChild<QMenuBar *>());
        // Beside them only what a screen reader is told, which takes no room.
        const auto notices = form.findChildren<rt::Announcer *>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(notices.size(), qsizetype(1));
        QVERIFY(notices[0]->size().isEmpty());
        QCOMPARE(form.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly).size()
                     - form.findChildren<QMenu *>(QString(), Qt::FindDirectChildrenOnly).size() - notices.size(),
                 qsizetype(10));

        // The bar lies above the two labels that reach into its column.
        const QWidgetList siblings = form.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(siblings.indexOf(f.c().KorBar) > siblings.indexOf(f.c().lblBytes));
        QVERIFY(siblings.indexOf(f.c().KorBar) > siblings.indexOf(f.c().lblCopied));

        // Start values.
        QCOMPARE(f.c().KorBar->barValue(), 0);
        QCOMPARE(f.c().KorBar->minimum(), 0);
        QCOMPARE(f.c().KorBar->maximum(), 100);
        QCOMPARE(f.c().KorBar->orientation(), Qt::Vertical);
        QCOMPARE(f.copy().Copying, false);
        QVERIFY(f.copy().SourceFile.isEmpty());
        QVERIFY(f.copy().DestFile.isEmpty());
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    // Every caption fits its box, by measure and on the pixels (no text in a
    // box's last columns); ctest runs this at scales 1.5 and 2 and with DejaVu only.
    void captionsFitTheirBoxes()
    {
        FormFixture f;
        MyForm &form = f.start();
        QVERIFY(f.show());
        int checked = 0;
        for (QWidget *w : form.findChildren<QWidget *>()) {
            auto *frame = qobject_cast<QGroupBox *>(w);
            auto *label = qobject_cast<rt::Label *>(w);
            const QString caption = frame ? frame->title() : label ? label->caption() : w->property("text").toString();
            if (captionRoomOf(w) < 0 || caption.isEmpty())
                continue;
            checked += 1;
            QVERIFY2(captionWidth(w->font(), caption) <= captionRoomOf(w), qPrintable(caption));
            if (!frame && (!label || w->geometry().right() >= f.c().KorBar->geometry().left()))
                continue; // a button, or a label whose end lies under the bar
            const QImage drawn = form.grab(QRect(w->mapTo(&form, QPoint()), w->size())).toImage();
            const QColor ink = w->palette().color(QPalette::WindowText);
            for (int i = 0; i < 2 * (frame ? int(w->fontMetrics().height() * drawn.devicePixelRatio()) : drawn.height()); ++i) {
                const QColor p = drawn.pixelColor(drawn.width() - 1 - i % 2, i / 2);
                QVERIFY2(qAbs(p.red() - ink.red()) + qAbs(p.green() - ink.green()) + qAbs(p.blue() - ink.blue()) > 96, qPrintable(caption));
            }
        }
        QCOMPARE(checked, 8); // two frames, four labels, two buttons
    }

    void menusArePopupsOnly()
    {
        FormFixture f;
        f.start();
        QCOMPARE(f.c().Talmo->title(), QStringLiteral("Talmo"));
        QCOMPARE(f.c().KorSrc->title(), QStringLiteral("KorSource"));
        QCOMPARE(f.c().Talmo->actions(), (QList<QAction *>{f.c().MD, f.c().Del}));
        QCOMPARE(f.c().KorSrc->actions(), (QList<QAction *>{f.c().DelFile}));
        QCOMPARE(f.c().MD->text(), QStringLiteral("Create Folder"));
        QCOMPARE(f.c().Del->text(), QStringLiteral("Delete Folder"));
        QCOMPARE(f.c().DelFile->text(), QStringLiteral("Delete File"));
        for (QAction *item : {f.c().MD, f.c().Del, f.c().DelFile}) {
            QVERIFY(item->isEnabled());
            QVERIFY(item->isVisible());
            QVERIFY(item->shortcut().isEmpty());
        }
        QVERIFY(!f.c().Talmo->isVisible());
        QVERIFY(!f.c().KorSrc->isVisible());
    }

    // The Menu key and Shift+F10 open a list's menu beside its current row, a
    // right press at the pointer (other keys, buttons and controls open none);
    // in the file list the file they stand on is chosen first (a press beside
    // the files keeps the choice), and Delete File deletes that one at once.
    // Dir2's menu acts on the open folder.
    void listMenusActOnWhatIsShownAsChosen_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("chosen"); // the file deleted; "" in Dir2
        for (const char *how : {"Menu", "Shift+F10", "press"})
            QTest::addRow("Dir2, %s", how) << how << "", QTest::addRow("KorFile, %s", how) << how << "b.txt";
        QTest::newRow("KorFile, press beside") << "beside" << "a.txt";
    }
    void listMenusActOnWhatIsShownAsChosen()
    {
        QFETCH(QString, how);
        QFETCH(QString, chosen);
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.txt"), "a");
        f.drives.makeFile(u'c', QStringLiteral("b.txt"), "b");
        f.drives.makeFolder(u'c', QStringLiteral("Sub"));
        f.start();
        QVERIFY(f.show(FormFixture::Active) && f.c().KorFile->selectFile(QStringLiteral("a.txt")));
        rt::FolderBoundList *list = chosen.isEmpty() ? static_cast<rt::FolderBoundList *>(f.c().Dir2) : f.c().KorFile;
        const QModelIndex last = list->model()->index(list->count() - 1, 0); // b.txt, or Sub
        list->selectionModel()->setCurrentIndex(last, QItemSelectionModel::NoUpdate); // as Ctrl+Down moves
        list->setFocus();
        const QModelIndex acted = chosen.isEmpty() ? list->model()->index(0, 0) : last; // Dir2: the open folder, the root
        const QRect row(list->viewport()->mapToGlobal(list->visualRect(acted).topLeft()), list->visualRect(acted).size());
        const bool key = how == u"Menu" || how == u"Shift+F10";
        QRect place;
        const QString opened = popupAfter(
            [&] {
                if (key)
                    QTest::keyClick(list, how == u"Menu" ? Qt::Key_Menu : Qt::Key_F10, how == u"Menu" ? Qt::NoModifier : Qt::ShiftModifier);
                else
                    QTest::mousePress(list->viewport(), Qt::RightButton, {},
                                      how == u"press" ? list->visualRect(last).center() : QPoint(5, list->viewport()->height() - 3));
            },
            [&](QMenu *menu) { // Delete File, once the file is shown as chosen
                if (!chosen.isEmpty() && f.c().KorFile->fileName() == chosen && f.c().txtDest->text() == chosen)
                    QTest::keyClick(menu, Qt::Key_Down), QTest::keyClick(menu, Qt::Key_Return);
            }, &place);
        QCOMPARE(opened, QString(chosen.isEmpty() ? "Talmo" : "KorSrc"));
        QVERIFY(!key || row.contains(place.topLeft()));
        QVERIFY(f.dialogs.shown.isEmpty() && f.c().Dir2->path() == QStringLiteral("C:\\"));
        QCOMPARE(FormFixture::items(f.c().KorFile), (chosen.isEmpty() ? QStringList{"a.txt", "b.txt"}
                                                     : QStringList{chosen == u"a.txt" ? "b.txt" : "a.txt"}));
        QCOMPARE(popupAfter([&] { QTest::keyClick(list, Qt::Key_F10); }), QString());
        for (auto [w, button] : {std::pair<QWidget *, Qt::MouseButton>{list->viewport(), Qt::LeftButton},
                                 {list->viewport(), Qt::MiddleButton}, {f.c().KorDir->viewport(), Qt::RightButton},
                                 {f.c().txtDest, Qt::RightButton}})
            QCOMPARE(popupAfterPress(w, button), QString());
    }

    void tabVisitsTheControlsInOrder()
    {
        FormFixture f;
        f.start();
        QVERIFY(f.show(FormFixture::Active));
        QCOMPARE(QApplication::focusWidget(), f.c().cmdCopy);
        QStringList visited;
        for (int i = 0; i < 8; ++i) {
            // Each control, Copy at start too, marks the focus around itself.
            QWidget *from = QApplication::focusWidget();
            const QImage focused = from->grab().toImage();
            QTest::keyClick(from, Qt::Key_Tab);
            const QImage unfocused = from->grab().toImage();
            QVERIFY2(markPixels(focused, unfocused) >= (from->width() + from->height()) / 2,
                     qPrintable(from->objectName()));
            visited.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(visited, (QStringList{"KorDrv", "KorDir", "KorFile", "drv2", "Dir2", "txtDest", "cmdExit", "cmdCopy"}));
    }

    void altXAsksBeforeEnding()
    {
        FormFixture f;
        MyForm &form = f.start();
        QVERIFY(f.show(FormFixture::Active));
        f.dialogs.answers = {rt::AnswerNo};
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_X, Qt::AltModifier);
        // An access key presses the button as a click would, after its short animation.
        QTRY_COMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("Do You Really Want To Exit Talmo's 'DUPLON'."));
        QCOMPARE(f.dialogs.shown[0].style, 52);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(QStringLiteral("Talmo")));
        QVERIFY(form.isVisible());

        // Enter presses the button that has the focus, at once.
        f.c().cmdExit->setFocus();
        QTest::keyClick(f.c().cmdExit, Qt::Key_Return);
        QCOMPARE(f.dialogs.shown.size(), qsizetype(2));
        QVERIFY(form.isVisible());

        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdExit->click();
        QVERIFY(!form.isVisible());
    }

    void controlsHaveAccessibleNamesAndRoles_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("role");
        auto row = [](const char *control, const char *name, QAccessible::Role role) {
            QTest::newRow(control) << QString::fromLatin1(control) << QString::fromLatin1(name) << int(role);
        };
        row("KorDrv", "Source drive", QAccessible::ComboBox);
        row("KorDir", "Source folders", QAccessible::List);
        row("KorFile", "Source files", QAccessible::List);
        row("drv2", "Destination drive", QAccessible::ComboBox);
        row("Dir2", "Destination folders", QAccessible::List);
        row("txtDest", "Destination file name", QAccessible::EditableText);
        row("cmdCopy", "Copy", QAccessible::Button);
        row("cmdExit", "Exit", QAccessible::Button);
        row("Frame1", "Select Source:", QAccessible::Grouping);
        row("lblBytes", "Source File Size:", QAccessible::StaticText);
        row("lblCopied", "", QAccessible::StaticText); // the figure, as drawn, is its name
        row("lblInputLoc", "", QAccessible::StaticText);
        row("KorBar", "Copy progress", QAccessible::ProgressBar);
    }
    // The figures' names for a screen reader change nothing drawn.
    void namedFiguresDrawAsUnnamedOnes()
    {
        FormFixture f;
        f.start();
        QVERIFY(f.show());
        f.c().lblCopied->setCaption(QStringLiteral("20.04 MB"));
        f.c().lblInputLoc->setCaption(QStringLiteral("21012480"));
        rt::DisplayPacer::instance().flush();
        const QImage named = f.form->grab().toImage();
        for (rt::Label *figure : {f.c().lblCopied, f.c().lblInputLoc}) {
            const QString caption = figure->caption();
            figure->setAccessibleName(QString());
            figure->setAccessibleDescription(QString());
            figure->setCaption(QString());
            figure->setCaption(caption);
        }
        rt::DisplayPacer::instance().flush();
        QCOMPARE(f.form->grab().toImage(), named);
    }
    void controlsHaveAccessibleNamesAndRoles()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        QFETCH(int, role);
        FormFixture f;
        MyForm &form = f.start();
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(form.findChild<QWidget *>(control));
        QVERIFY(iface);
        // A drive box adds the drive chosen; a figure with none yet has no name.
        QVERIFY(name.isEmpty() ? iface->text(QAccessible::Name).isEmpty() : iface->text(QAccessible::Name).startsWith(name));
        QCOMPARE(int(iface->role()), role);
    }

};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
