#include "mux/MediaFile.h"

#include "av/AvResult.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

MediaFile::MediaFile(std::string path) : m_path(std::move(path))
{
    // Not emptied yet: a file another export holds must stay as it is.
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    m_created = m_fd >= 0;
    if (!m_created && errno == EEXIST)
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    CheckErrno(m_fd >= 0, "::open");
    struct stat facts{};
    if (::fstat(m_fd, &facts) != 0)
    {
        const int error = errno;
        ::close(m_fd);
        errno = error;
        CheckErrno(false, "::fstat");
    }
    m_device = facts.st_dev;
    m_inode = facts.st_ino;
    m_regular = S_ISREG(facts.st_mode);
    // A file system without locks (ENOLCK, EOPNOTSUPP) is written without one.
    if (m_regular && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    {
        ::close(m_fd);
        throw FfMpegFacadeException("FfMpegFacadeBase::FinishInitMediaFile",
                                    ("'" + m_path + "' is being written by another export").c_str());
    }
}

MediaFile::~MediaFile()
{
    ::close(m_fd);
}

void MediaFile::Empty()
{
    if (m_regular)
        CheckErrno(::ftruncate(m_fd, 0) == 0, "::ftruncate");
    m_emptied = true;
}

bool MediaFile::IsNamedBy(const std::string& path) const
{
    struct stat facts{};
    return ::stat(path.c_str(), &facts) == 0 && facts.st_dev == m_device && facts.st_ino == m_inode;
}

void MediaFile::Remove() noexcept
{
    if (m_regular && (m_created || m_emptied) && IsNamedBy(m_path))
        ::unlink(m_path.c_str());
}

void MediaFile::SyncDirectory() const noexcept
{
    const std::size_t slash = m_path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : m_path.substr(0, slash);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
