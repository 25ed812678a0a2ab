// The whole-file reader and the replacing writer behind config.json and
// ecu_info.json, on real files in a private folder.
#include "temp_dir.h"

#include "common/text_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/types.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class TextFile : public testing::Test {
protected:
    temp_dir dir{"diag-text-file-"};
    const std::string path = dir.file("ecu_info.json");

    std::set<std::string> folder_entries() const
    {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir.path()))
            names.insert(entry.path().filename().string());
        return names;
    }

    struct stat status_of(const std::string &p) const
    {
        struct stat st {};
        EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
        return st;
    }
};

TEST_F(TextFile, ReaderRefusesWhatIsNotARegularFile)
{
    std::string text = "kept";
    // A folder where the file belongs reports an endless size on ext4.
    fs::create_directory(path);
    EXPECT_NE(read_text_file(path.c_str(), text), text_file_status::ok);
    fs::remove(path);

    // Opening a FIFO for reading would wait for a writer for ever.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    auto result = std::async(std::launch::async, [&] { return read_text_file(path.c_str(), text); });
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << "the reader waits on a FIFO";
    EXPECT_NE(result.get(), text_file_status::ok);
}

TEST_F(TextFile, ReplaceWritesTheBytesAndNothingElse)
{
    const std::string content("{\n\t\"A\":\t1\n}\0\xff", 13);
    EXPECT_EQ(replace_text_file(path.c_str(), content), text_write_status::written);
    EXPECT_EQ(read_text_file(path), content);
    ASSERT_TRUE(write_text_file(path, std::string(10000, 'x'))); // longer than the next content
    EXPECT_EQ(replace_text_file(path.c_str(), "{}"), text_write_status::written);
    EXPECT_EQ(read_text_file(path), "{}");
    EXPECT_EQ(folder_entries(), std::set<std::string>{"ecu_info.json"});
}

TEST_F(TextFile, ReplaceSkipsContentTheFileHoldsAndDropsAStaleTemporaryFile)
{
    ASSERT_EQ(replace_text_file(path.c_str(), "{\"A\":1}"), text_write_status::written);
    // Put the file's times far back: any write would move them.
    const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
    const struct stat before = status_of(path);
    ASSERT_TRUE(write_text_file(replacement_temp_path(path.c_str()), "{\"A\""));

    EXPECT_EQ(replace_text_file(path.c_str(), "{\"A\":1}"), text_write_status::unchanged);
    const struct stat after = status_of(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(folder_entries(), std::set<std::string>{"ecu_info.json"});

    EXPECT_EQ(replace_text_file(path.c_str(), "{\"A\":2}"), text_write_status::written);
    EXPECT_NE(status_of(path).st_ino, before.st_ino);
}

TEST_F(TextFile, ReplaceKeepsTheFileModeAndWritesThroughASymlink)
{
    const std::string real = dir.file("real.json");
    ASSERT_TRUE(write_text_file(real, "{}"));
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    fs::create_symlink(real, path);

    EXPECT_EQ(replace_text_file(path.c_str(), "{\"B\":1}"), text_write_status::written);
    EXPECT_TRUE(S_ISLNK(status_of(path).st_mode));
    EXPECT_EQ(read_text_file(real), "{\"B\":1}");
    EXPECT_EQ(status_of(real).st_mode & 07777, 0640u);
    EXPECT_EQ(folder_entries(), (std::set<std::string>{"ecu_info.json", "real.json"}));
}

TEST_F(TextFile, ReplaceReportsWhatCannotBeWritten)
{
    const std::string missing = dir.file("no/such/folder/ecu_info.json");
    EXPECT_EQ(replace_text_file(missing.c_str(), "{}"), text_write_status::open_failed);

    fs::create_directory(path); // a folder where the file belongs
    EXPECT_EQ(replace_text_file(path.c_str(), "{}"), text_write_status::write_failed);
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(folder_entries(), std::set<std::string>{"ecu_info.json"});
}

} // namespace
