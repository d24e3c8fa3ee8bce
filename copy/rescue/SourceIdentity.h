#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// The source a map was written for, on a comment line of its own:
//   # Source: LENGTH SECONDS.NANOSECONDS NAME
// (its length in bytes, its modification time since the epoch, its name with
// control characters as \xHH). GNU ddrescue ignores it as every comment, and
// drops it when it rewrites the map: a map without it is checked by samples only.
struct SourceIdentity {
    qint64 length = 0;
    qint64 modifiedNs = 0; // nanoseconds since the epoch
    QString name;
};

// The mapfile with the identity's line after its "# Command line:" line (at
// its start when it has none).
QByteArray withSourceIdentity(const QByteArray &mapfile, const SourceIdentity &identity);
// The identity a mapfile names; nullopt when it has no such line, or a malformed one.
std::optional<SourceIdentity> sourceIdentityIn(const QByteArray &mapfile);

// Whether the source now is the one the map was written for: the same length,
// and the same modification time to the medium's resolution. coarseTimes: a
// medium made for Windows (FAT, exFAT) keeps 2 s, and its times may shift by
// whole hours with the time zone. A time in whole seconds (a medium that
// keeps no more) is compared in whole seconds.
bool sameSource(const SourceIdentity &mapped, const SourceIdentity &now, bool coarseTimes);

// "N bytes, changed YYYY-MM-DD HH:MM:SS" in local time, for the message that
// names both.
QString identityText(const SourceIdentity &identity);
