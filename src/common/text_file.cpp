#include "common/text_file.h"

#include "c_handles.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *TEMP_SUFFIX = ".tmp";

// The file a write lands in: through a symlink to its target, so that a
// linked file stays linked.
std::string write_target(const char *path)
{
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    return ec ? std::string(path) : resolved.string();
}

bool write_all(int fd, std::string_view content)
{
    while (!content.empty()) {
        ssize_t n = write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The new name exists only in memory until its folder is flushed too. Some
// file systems cannot flush a folder; the file is in place all the same.
void sync_folder_of(const std::string &file)
{
    std::string folder = std::filesystem::path(file).parent_path().string();
    unique_fd dir(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        fsync(dir.get());
}

// The temporary file gets the mode of the file it replaces (a new file gets
// what fopen would give it).
void keep_mode(int fd, const std::string &target)
{
    struct stat old {};
    if (stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        fchmod(fd, old.st_mode & 07777);
}

bool holds(const std::string &target, std::string_view content)
{
    std::string current;
    return read_text_file(target.c_str(), current) == text_file_status::ok && current == content;
}

} // namespace

text_file_status read_text_file(const char *path, std::string &out)
{
    if (!path) {
        errno = EINVAL;
        return text_file_status::open_failed;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return text_file_status::open_failed;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return text_file_status::size_failed;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return text_file_status::read_failed;
    }
    try {
        out.resize(static_cast<std::size_t>(st.st_size));
    } catch (const std::exception &) { // bad_alloc, or length_error for absurd sizes
        return text_file_status::no_memory;
    }
    std::size_t got = 0;
    while (got < out.size()) {
        ssize_t n = read(fd.get(), out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text_file_status::read_failed; // error, or the file shrank meanwhile
        got += static_cast<std::size_t>(n);
    }
    return text_file_status::ok;
}

std::string replacement_temp_path(const char *path) { return write_target(path) + TEMP_SUFFIX; }

void remove_replacement_temp(const char *path) { unlink(replacement_temp_path(path).c_str()); }

text_write_status replace_text_file(const char *path, std::string_view content)
{
    const std::string target = write_target(path);
    const std::string temp = target + TEMP_SUFFIX;
    unlink(temp.c_str()); // left by a write that was cut short
    if (holds(target, content))
        return text_write_status::unchanged;

    unique_fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd)
        return text_write_status::open_failed;
    keep_mode(fd.get(), target);
    bool flushed = write_all(fd.get(), content) && fsync(fd.get()) == 0;
    flushed = close(fd.release()) == 0 && flushed;
    if (!flushed || rename(temp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        errno = error;
        return text_write_status::write_failed;
    }
    sync_folder_of(target);
    return text_write_status::written;
}
