#include "copy/rescue/SourceReads.h"

#include "runtime/files/DirectReads.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/PatchedFile.h"

#include <fcntl.h>

FileReads::FileReads(const rt::File &file)
    : m_file(file)
    , m_transfer(std::make_unique<rt::Transfer>())
{
}

FileReads::~FileReads() = default;

qint64 FileReads::length() const { return m_file.length(); }

qint64 FileReads::blockSize() const
{
    if (m_unit == 0) // asked on the worker: statx may wait on the medium
        m_unit = m_file.blockSize();
    return m_unit;
}

void FileReads::readAtTheDevice()
{
    if (m_direct)
        return;
    m_direct = std::make_unique<rt::DirectReads>(m_file, blockSize());
    m_direct->setHolesWritten(m_writeHoles);
    // Where direct access is refused, read-ahead at least must not make one
    // read of a block into many at the device. What the failed read left in
    // the page cache goes too: a large folio that failed would fail every
    // block in it, readable or not, until it is read whole.
    (void)posix_fadvise(m_file.descriptor(), 0, 0, POSIX_FADV_RANDOM);
    (void)posix_fadvise(m_file.descriptor(), 0, 0, POSIX_FADV_DONTNEED);
}

void FileReads::writeHoles()
{
    m_writeHoles = true;
    m_transfer->setHolesWritten(true);
    if (m_direct)
        m_direct->setHolesWritten(true);
}

rt::DirectReads *FileReads::direct() const { return m_direct && !m_direct->refused() ? m_direct.get() : nullptr; }

rt::PieceResult FileReads::copy(qint64 offset, qint64 count, int destFd)
{
    if (rt::DirectReads *d = direct()) {
        const rt::PieceResult r = d->copy(offset, count, destFd);
        if (!d->refused())
            return r;
    }
    return m_transfer->copy(m_file, offset, destFd, offset, count);
}

rt::PieceResult FileReads::read(qint64 offset, qint64 count, char *buffer)
{
    if (rt::DirectReads *d = direct()) {
        const rt::PieceResult r = d->read(offset, count, buffer);
        if (!d->refused())
            return r;
    }
    return rt::readAt(m_file, offset, buffer, count);
}

bool FileReads::gone() const { return m_file.mediumGone(); }
