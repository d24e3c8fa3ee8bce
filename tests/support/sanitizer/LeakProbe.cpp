// A program built like the tests, with the window up, that leaks one block on
// purpose: the sanitizer build must report it, naming this function, however
// the tests' environment quiets the libraries that are not ours.
#include "app/MyForm.h"

#include <QApplication>

#include <cstring>

static void *volatile s_kept = nullptr;

__attribute__((noinline)) static void leakOnPurpose()
{
    s_kept = std::memset(new char[4096], 'x', 4096);
    s_kept = nullptr; // the only pointer to it, gone
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    {
        MyForm form;
        form.showCentred();
        QCoreApplication::processEvents();
    }
    leakOnPurpose();
    return 0;
}
