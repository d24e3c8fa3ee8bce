#pragma once

#include "runtime/files/Transfer.h"

#include <QtGlobal>

#include <memory>

namespace rt {
class DirectReads;
class File;
}

// The one way a rescue reaches its source: the copy's pieces go straight into
// the destination, the retry's blocks into a buffer. Every member may wait on
// the medium and runs on the I/O worker. The real medium is an open file;
// tests put a simulated medium in its place, so the order of the reads can be
// driven from tables without a damaged disk or the right to mount one.
class SourceReads {
public:
    virtual ~SourceReads() = default;
    // The source's length as it is now; throws rt::RtError when it cannot be asked.
    virtual qint64 length() const = 0;
    // The unit in which the medium fails: its sector (see rt::MediumSectors).
    virtual qint64 blockSize() const = 0;
    // From now on every read reaches the device as asked: direct access, or
    // where the medium refuses it, buffered reads with read-ahead off. Called
    // once a read has failed, or before going on with a map that lists
    // unread or bad parts: a damaged medium then costs one failing read per
    // bad sector, and no failure takes readable neighbours with it.
    virtual void readAtTheDevice() {}
    // The destination holds older data where nothing is written (an earlier
    // copy gone on with in place): holes of the source are written as zeros.
    virtual void writeHoles() {}
    // Moves up to count bytes at offset to the same offset of destFd; fewer
    // only at the source's end or on a failure.
    virtual rt::PieceResult copy(qint64 offset, qint64 count, int destFd) = 0;
    // Reads up to count bytes at offset into buffer; fewer as copy().
    virtual rt::PieceResult read(qint64 offset, qint64 count, char *buffer) = 0;
    // Asked after a failed read: whether the medium itself has gone, so that
    // reading on would only fail.
    virtual bool gone() const = 0;
};

// The real source: a file opened with rt::File::open.
class FileReads final : public SourceReads {
public:
    explicit FileReads(const rt::File &file);
    ~FileReads() override;

    qint64 length() const override;
    qint64 blockSize() const override;
    rt::PieceResult copy(qint64 offset, qint64 count, int destFd) override;
    rt::PieceResult read(qint64 offset, qint64 count, char *buffer) override;
    bool gone() const override;
    void readAtTheDevice() override;
    void writeHoles() override;

private:
    // The direct reads, while the medium takes them.
    rt::DirectReads *direct() const;

    const rt::File &m_file;
    std::unique_ptr<rt::Transfer> m_transfer;
    std::unique_ptr<rt::DirectReads> m_direct;
    mutable qint64 m_unit = 0;
    bool m_writeHoles = false;
};
