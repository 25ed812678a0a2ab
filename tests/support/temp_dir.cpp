#include "temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

temp_dir::temp_dir(const char *prefix)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = buf.data();
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string temp_dir::file(const std::string &relative) const { return path_ + "/" + relative; }

bool write_text_file(const std::string &path, const std::string &content)
{
    std::error_code ec;
    fs::path parent = fs::path(path).parent_path();
    if (!parent.empty())
        fs::create_directories(parent, ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return out.good();
}

std::string read_text_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool file_exists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

scoped_env::scoped_env(const char *name, const std::string &value) : name_(name)
{
    if (const char *old = std::getenv(name)) {
        had_value_ = true;
        old_value_ = old;
    }
    setenv(name, value.c_str(), 1);
}

scoped_env::~scoped_env()
{
    if (had_value_)
        setenv(name_.c_str(), old_value_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}
