#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// A source that is itself an unfinished rescue: a kept NAME.part with its map
// NAME.part.map beside it. Copying it is a plain copy of a file; reading it
// as a source would "read" the blocks the rescue never read (zeros), so it is
// never gone on with or retried from, and the closing message says what it is.
struct UnfinishedSource {
    QString mapPath;       // drive-letter path of its map
    qint64 neverRead = 0;  // bytes the map does not list as finished
};

// Looks beside the source (a drive-letter path) for the map of a kept part;
// nullopt when the source is no kept part or its map does not describe it.
// Blocking: call on the I/O worker.
std::optional<UnfinishedSource> unfinishedSource(const QString &sourcePath, qint64 sourceLength);

// The closing message's line for it.
QString unfinishedSourceText(const UnfinishedSource &source);
