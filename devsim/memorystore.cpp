// A device's memory kept in a folder.
#include "devsim/memorystore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string systemError(const std::string &path)
{
    return path + ": " + std::strerror(errno);
}

// Opens without following a link and without blocking on a FIFO, then insists on a plain file.
int openPlainFile(const std::string &path, int flags, std::string *error)
{
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENXIO)
            *error = path + ": not a plain file, refused";
        else
            *error = systemError(path);
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = path + ": not a plain file, refused";
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool makeFolder(const std::string &path, std::string *error)
{
    // Each missing parent in turn, like mkdir -p.
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = systemError(part);
            return false;
        }
        if (slash == std::string::npos)
            break;
    }
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = path + ": not a folder";
        return false;
    }
    return true;
}

} // namespace

MemoryStore::MemoryStore(const std::string &folder)
    : m_folder(folder)
{ }

std::string MemoryStore::fileName(unsigned alternate, uint32_t base)
{
    char name[40];
    std::snprintf(name, sizeof name, "alt%u-%08X.bin", alternate, base);
    return name;
}

bool MemoryStore::load(std::vector<std::vector<MemoryRegion>> *memories, std::string *error) const
{
    if (!makeFolder(m_folder, error))
        return false;
    for (size_t alternate = 0; alternate < memories->size(); ++alternate) {
        for (MemoryRegion &region : (*memories)[alternate]) {
            const std::string path = m_folder + "/" + fileName(alternate, region.base());
            struct stat info;
            if (::lstat(path.c_str(), &info) != 0 && errno == ENOENT)
                continue;
            const int fd = openPlainFile(path, O_RDONLY, error);
            if (fd < 0)
                return false;
            std::vector<uint8_t> &bytes = region.bytes();
            // Saved at exit, a file of another size would be cut or padded to the region.
            if (::fstat(fd, &info) != 0 || uint64_t(info.st_size) != bytes.size()) {
                *error = path + ": " + std::to_string(info.st_size) + " bytes, but the region "
                    + "holds " + std::to_string(bytes.size()) + "; refused";
                ::close(fd);
                return false;
            }
            size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got < 0) {
                    *error = systemError(path);
                    ::close(fd);
                    return false;
                }
                if (got == 0)
                    break;
                done += size_t(got);
            }
            ::close(fd);
        }
    }
    return true;
}

bool MemoryStore::save(const std::vector<std::vector<MemoryRegion>> &memories,
                       std::string *error) const
{
    if (!makeFolder(m_folder, error))
        return false;
    for (size_t alternate = 0; alternate < memories.size(); ++alternate) {
        for (const MemoryRegion &region : memories[alternate]) {
            const std::string path = m_folder + "/" + fileName(alternate, region.base());
            const int fd = openPlainFile(path, O_WRONLY | O_CREAT, error);
            if (fd < 0)
                return false;
            const std::vector<uint8_t> &bytes = region.bytes();
            size_t done = 0;
            bool ok = ::ftruncate(fd, off_t(bytes.size())) == 0;
            while (ok && done < bytes.size()) {
                const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (put < 0 && errno == EINTR)
                    continue;
                ok = put > 0;
                done += ok ? size_t(put) : 0;
            }
            if (!ok)
                *error = systemError(path);
            if (::close(fd) != 0 && ok) {
                *error = systemError(path);
                ok = false;
            }
            if (!ok)
                return false;
        }
    }
    return true;
}
