#pragma once

#include <string>

#include <sys/types.h>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// The file being written, opened by the library itself under the host's name,
// beside libavformat's own descriptor. It holds the lock that keeps a second
// export, and recovery, off the file while this one writes it (flock, which
// belongs to this descriptor: a second facade in the same process is refused
// too); it tells whether a name leads to the file, and makes the file durable
// (fdatasync applies to the file, whichever descriptor names it).
// Devices and other files that are not regular are written without a lock.
class MediaFile
{
public:
    // Opens or creates `path` without emptying it and takes the lock. Throws
    // FfMpegFacadeException when another export holds the lock (the file is
    // left as it was), AvException when the file cannot be opened.
    explicit MediaFile(std::string path);
    MediaFile(const MediaFile&) = delete;
    MediaFile& operator=(const MediaFile&) = delete;
    // Closes the file, which releases the lock.
    ~MediaFile();

    int Descriptor() const noexcept { return m_fd; }
    const std::string& Path() const noexcept { return m_path; }

    // Empties the file, now that it is this export's.
    void Empty();
    // Whether `path` leads to this file (another spelling, a link).
    bool IsNamedBy(const std::string& path) const;
    // After a failed open: removes the file if this export made or emptied
    // it and its name still leads to it.
    void Remove() noexcept;
    // Makes the names in the file's directory durable (the file's and its
    // journal's), so that both are there after a power cut. Best effort: a
    // failure here stops nothing.
    void SyncDirectory() const noexcept;

private:
    std::string m_path;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    bool m_regular = false;
    bool m_created = false;
    bool m_emptied = false;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
