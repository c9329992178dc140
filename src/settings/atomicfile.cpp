// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "settings/atomicfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include "settings/presetfile.h"

#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

Error AtomicFile::write(const std::string& path, const std::vector<unsigned char>& bytes)
{
    const std::string temporary = path + ".tmp" + std::to_string(GetCurrentProcessId());
    const std::wstring widePath = PresetFile::widePath(path.c_str());
    const std::wstring wideTemporary = PresetFile::widePath(temporary.c_str());
    if (widePath.empty() || wideTemporary.empty()) {
        return Error(Error::Kind::File, "cannot write " + path + ": the name is not valid UTF-8");
    }
    FILE* file = _wfopen(wideTemporary.c_str(), L"wbx");
    if (!file) {
        return Error(Error::Kind::File,
                     "cannot create a temporary file beside " + path + ": " + std::strerror(errno));
    }
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size()
                   && std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
    const int writeError = errno;
    written = std::fclose(file) == 0 && written;
    if (!written) {
        _wremove(wideTemporary.c_str());
        return Error(Error::Kind::File,
                     "cannot write " + temporary + ": " + std::strerror(writeError));
    }
    if (!MoveFileExW(wideTemporary.c_str(), widePath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Error error(Error::Kind::File, "cannot replace " + path + " (Windows error "
                                           + std::to_string(GetLastError()) + ")");
        _wremove(wideTemporary.c_str());
        return error;
    }
    return Error();
}

#else

namespace {

// The rename lives in the folder: until the folder is on the disk, a power
// cut may bring back the old file, or none. A file system that cannot sync
// a folder (EINVAL) keeps its renames its own way.
Error syncFolder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A folder that cannot be opened for reading: the rename stands as the
    // system keeps it.
    if (fd < 0)
        return Error();
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    const int syncError = errno;
    close(fd);
    if (!synced)
        return Error(Error::Kind::File, "cannot write the folder of " + path
                                            + " to the disk: " + std::strerror(syncError));
    return Error();
}

} // namespace

Error AtomicFile::write(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return Error(Error::Kind::File,
                     "cannot create a temporary file beside " + path + ": " + std::strerror(errno));
    }
    // mkstemp() makes the file private: a replaced file keeps its
    // permissions, a new one gets the usual ones.
    struct stat target;
    if (stat(path.c_str(), &target) == 0) {
        fchmod(fd, target.st_mode & 07777);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
    }

    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bool written = done == bytes.size() && fsync(fd) == 0;
    const int writeError = errno;
    written = close(fd) == 0 && written;
    if (!written) {
        unlink(temporary.c_str());
        return Error(Error::Kind::File,
                     "cannot write " + temporary + ": " + std::strerror(writeError));
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        Error error(Error::Kind::File, "cannot replace " + path + ": " + std::strerror(errno));
        unlink(temporary.c_str());
        return error;
    }
    return syncFolder(path);
}

#endif
