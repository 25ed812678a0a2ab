// Owning wrappers for the C handles the daemon and ecu-sim use: cJSON documents and
// printed texts, file descriptors, stdio files. Each is a unique_ptr with a
// deleter that calls the library's own release function, so every early
// return releases what was made.
#pragma once

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <utility>

template <class T, void (*Free)(T *)>
struct c_deleter {
    void operator()(T *p) const noexcept
    {
        if (p)
            Free(p);
    }
};

inline void free_json_text(char *p) { cJSON_free(p); }
inline void close_file(FILE *f) { std::fclose(f); }

using json_ptr = std::unique_ptr<cJSON, c_deleter<cJSON, cJSON_Delete>>;
using json_text_ptr = std::unique_ptr<char, c_deleter<char, free_json_text>>;
using file_ptr = std::unique_ptr<FILE, c_deleter<FILE, close_file>>;

// Move-only file descriptor; -1 means none.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&o) noexcept
    {
        reset(std::exchange(o.fd_, -1));
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};
