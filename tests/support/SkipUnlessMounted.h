#pragma once

#include <QTest>

// Skips the test, saying why, where its medium could not be mounted here (no
// root, no FUSE, a tool missing). Any medium with mounted() and whyNot().
#define SKIP_UNLESS_MOUNTED(medium)                                                                                    \
    do {                                                                                                               \
        if (!(medium).mounted())                                                                                       \
            QSKIP(qPrintable((medium).whyNot()));                                                                      \
    } while (false)
