#include "copy/rescue/SourceReads.h"

#include "runtime/files/FileAccess.h"
#include "runtime/files/PatchedFile.h"

FileReads::FileReads(const rt::File &file) : m_file(file), m_transfer(std::make_unique<rt::Transfer>()) {}

FileReads::~FileReads() = default;

qint64 FileReads::length() const { return m_file.length(); }

qint64 FileReads::blockSize() const { return m_file.blockSize(); }

rt::PieceResult FileReads::copy(qint64 offset, qint64 count, int destFd)
{
    return m_transfer->copy(m_file, offset, destFd, offset, count);
}

rt::PieceResult FileReads::read(qint64 offset, qint64 count, char *buffer)
{
    return rt::readAt(m_file, offset, buffer, count);
}

bool FileReads::gone() const { return m_file.mediumGone(); }
