#pragma once

// What the parts of bench_rescue share.

#include <QString>
#include <QtGlobal>

constexpr qint64 kBlock = 4096;

[[noreturn]] void die(const QString &what);
// This program's engine against GNU ddrescue on the same damage, each from a
// medium of its own (bench_rescue_ddrescue.cpp).
void againstDdrescue(const QString &root);
