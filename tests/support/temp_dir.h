// Temporary folders and files for tests, and scoped environment variables.
// Each temp_dir is unique (mkdtemp), so test programs running in parallel
// never share a folder.
#pragma once

#include <string>

class temp_dir {
public:
    // Creates <TMPDIR or /tmp>/<prefix>XXXXXX; aborts the test program when
    // that is impossible (nothing sensible can run without it).
    explicit temp_dir(const char *prefix = "diag-test-");
    ~temp_dir(); // removes the folder and everything in it
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + relative
    std::string file(const std::string &relative) const;

private:
    std::string path_;
};

// Writes `content` to `path` (creating parent folders), replacing the file.
// Returns false on failure.
bool write_text_file(const std::string &path, const std::string &content);
// Whole content of `path` (binary safe); empty when it cannot be read.
std::string read_text_file(const std::string &path);
bool file_exists(const std::string &path);

// Sets an environment variable for the lifetime of the object and restores
// the previous value (or its absence) afterwards.
class scoped_env {
public:
    scoped_env(const char *name, const std::string &value);
    ~scoped_env();
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;

private:
    std::string name_;
    std::string old_value_;
    bool had_value_ = false;
};
