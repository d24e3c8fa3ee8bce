#include "app/MyForm.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Duplon"));
    QApplication::setApplicationVersion(QStringLiteral("1.01.0005"));
    // One look on every desktop, so the window's colours show as laid out.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    MyForm form;
    form.showCentred();
    return app.exec();
}
