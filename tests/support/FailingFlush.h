#pragma once

// A medium that refuses a flush, as NFS, CIFS, sshfs and USB media do when a
// write error surfaces only there: fdatasync and fsync of the test process
// are interposed (FailingFlush.cpp, linked into the test that includes this),
// and those of a file whose name ends with the chosen ending fail with EIO from
// the (after + 1)th on (with another errno where asked: a driver that cannot
// flush a folder answers EOPNOTSUPP or EPERM). Everything else reaches the
// real calls.
namespace failingflush {

// after < 0: none fails (the start of every test). An ending that starts with
// '/' is a path: the flushes of the file under it then fail, whatever name it
// was opened under (an unnamed file that took the name since).
void failAfter(int after, const char *ending = ".part", int error = 5 /* EIO */);
// Flushes of files with that ending so far, failed ones included.
int flushes();

} // namespace failingflush
