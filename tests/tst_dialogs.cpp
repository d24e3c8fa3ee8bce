#include "runtime/Dialogs.h"
#include "runtime/controls/QtDialogs.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// Runs `react` on the modal dialog as soon as it is up.
void whenModalShows(std::function<void(QWidget *)> react)
{
    QTimer::singleShot(10, [react] {
        if (QWidget *modal = QApplication::activeModalWidget())
            react(modal);
        else
            whenModalShows(react);
    });
}

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
};

// Shows a real message box, records it, and presses the button with `press`.
int showAndPress(rt::QtDialogs &dialogs, const QString &prompt, int style, const std::optional<QString> &title,
                 QMessageBox::StandardButton press, SeenBox *seen)
{
    whenModalShows([press, seen](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box)
            return;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        for (QAbstractButton *b : box->buttons())
            seen->buttons.append(b->text().remove(u'&'));
        if (press == QMessageBox::Escape)
            QTest::keyClick(box, Qt::Key_Escape);
        else
            box->button(press)->click();
    });
    return dialogs.msgBox(prompt, style, title);
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void styleChoosesIconAndButtons_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("press");
        QTest::addColumn<int>("answer");
        QTest::newRow("0: OK, no icon") << 0 << int(QMessageBox::NoIcon) << int(QMessageBox::Ok) << 1;
        QTest::newRow("16: critical") << 16 << int(QMessageBox::Critical) << int(QMessageBox::Ok) << 1;
        QTest::newRow("20: critical, Yes") << 20 << int(QMessageBox::Critical) << int(QMessageBox::Yes) << 6;
        QTest::newRow("20: critical, No") << 20 << int(QMessageBox::Critical) << int(QMessageBox::No) << 7;
        QTest::newRow("52: exclamation, Yes") << 52 << int(QMessageBox::Warning) << int(QMessageBox::Yes) << 6;
        QTest::newRow("52: Esc is No") << 52 << int(QMessageBox::Warning) << int(QMessageBox::Escape) << 7;
        QTest::newRow("64: information") << 64 << int(QMessageBox::Information) << int(QMessageBox::Ok) << 1;
        QTest::newRow("48: exclamation") << 48 << int(QMessageBox::Warning) << int(QMessageBox::Ok) << 1;
    }
    void styleChoosesIconAndButtons()
    {
        QFETCH(int, style);
        QFETCH(int, icon);
        QFETCH(int, press);
        QFETCH(int, answer);
        rt::QtDialogs dialogs;
        SeenBox seen;
        QCOMPARE(showAndPress(dialogs, QStringLiteral("Text"), style, QStringLiteral("Talmo"),
                              QMessageBox::StandardButton(press), &seen),
                 answer);
        QCOMPARE(int(seen.icon), icon);
        QCOMPARE(seen.buttons.size(), qsizetype((style & 7) == 4 ? 2 : 1));
    }

    void titleAndLines()
    {
        rt::QtDialogs dialogs;
        SeenBox seen;
        showAndPress(dialogs, QStringLiteral("First line.\r\nSecond line."), 16, std::nullopt, QMessageBox::Ok, &seen);
        QCOMPARE(seen.title, QStringLiteral("Duplon")); // no title of its own
        QCOMPARE(seen.text, QStringLiteral("First line.\nSecond line."));
        SeenBox titled;
        showAndPress(dialogs, QStringLiteral("x"), 0, QStringLiteral("Source/Dest Error."), QMessageBox::Ok, &titled);
        QCOMPARE(titled.title, QStringLiteral("Source/Dest Error."));
    }

    void inputBoxGivesTheTextOrNothing()
    {
        rt::QtDialogs dialogs;
        QString seenDefault;
        whenModalShows([&seenDefault](QWidget *modal) {
            auto *input = qobject_cast<QInputDialog *>(modal);
            if (!input)
                return;
            seenDefault = input->textValue();
            input->setTextValue(QStringLiteral("Mine"));
            input->accept();
        });
        QCOMPARE(dialogs.inputBox(QStringLiteral("Name: "), QStringLiteral("Folder Name"), QStringLiteral("KorFolder")),
                 QStringLiteral("Mine"));
        QCOMPARE(seenDefault, QStringLiteral("KorFolder"));

        whenModalShows([](QWidget *modal) {
            if (auto *input = qobject_cast<QInputDialog *>(modal))
                input->reject();
        });
        QCOMPARE(dialogs.inputBox(QStringLiteral("Name: "), QStringLiteral("Folder Name"), QStringLiteral("KorFolder")),
                 QString());
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
