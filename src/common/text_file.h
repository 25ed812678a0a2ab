// Reading a whole (small) file into memory, for the JSON files the daemon keeps.
#pragma once

#include <string>

enum class text_file_status {
    ok,
    open_failed, // errno tells why
    size_failed, // seeking or telling the size failed
    no_memory,
    read_failed, // fewer bytes than the size, or a read error
};

// Reads `path` in binary mode into `out` (replaced). The caller reports failures.
text_file_status read_text_file(const char *path, std::string &out);
