// Whole-file reading and replacing, for the small JSON files the daemon keeps.
#pragma once

#include <string>
#include <string_view>

enum class text_file_status {
    ok,
    open_failed, // errno tells why
    size_failed, // the size could not be told
    no_memory,
    read_failed, // not a regular file, fewer bytes than the size, or a read error
};

// Reads `path` in binary mode into `out` (replaced). Only regular files are
// read: a folder or a FIFO in the file's place is a failure, not a hang. The
// caller reports failures.
text_file_status read_text_file(const char *path, std::string &out);

enum class text_write_status {
    written,
    unchanged,    // the file already held exactly these bytes: nothing written
    open_failed,  // the temporary file could not be created; errno tells why
    write_failed, // writing, flushing or renaming failed; the old file is untouched
};

// Replaces the file at `path` with `content` so that a reader, and the file
// after a crash or a power loss, holds either the old bytes or the new ones,
// never a part: the bytes go to a temporary file beside it, which is flushed
// to the disk and renamed over the old file, and then the folder is flushed.
// A file that already holds `content` is left alone (flash wear). A symlink
// at `path` stays a symlink: its target is replaced. A temporary file left
// behind by an interrupted earlier call is removed in every case.
text_write_status replace_text_file(const char *path, std::string_view content);

// The temporary file replace_text_file uses for `path`.
std::string replacement_temp_path(const char *path);

// Removes that temporary file if an interrupted write left it behind.
void remove_replacement_temp(const char *path);
