#pragma once

#include <QString>

namespace rt {

// The file or folder a thread of this process waits on in a system call, as
// far as /proc tells it: the file behind a descriptor it reads, writes,
// flushes or closes, or the path it opens or looks up. Empty when it is in no
// such call. Only our own threads are looked at, and only while the call is
// out, so a path it names is still in memory.
QString pathWaitedOn(int tid);

} // namespace rt
