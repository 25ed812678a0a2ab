#include "common/text_file.h"

#include "common/c_handles.h"

#include <cerrno>
#include <new>

text_file_status read_text_file(const char *path, std::string &out)
{
    file_ptr file(path ? std::fopen(path, "rb") : nullptr);
    if (!file) {
        if (!path)
            errno = EINVAL;
        return text_file_status::open_failed;
    }
    if (std::fseek(file.get(), 0, SEEK_END) != 0)
        return text_file_status::size_failed;
    long size = std::ftell(file.get());
    if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0)
        return text_file_status::size_failed;
    try {
        out.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc &) {
        return text_file_status::no_memory;
    }
    std::size_t got = std::fread(out.data(), 1, out.size(), file.get());
    if (got != out.size() || std::ferror(file.get()))
        return text_file_status::read_failed;
    return text_file_status::ok;
}
