// Log-file writer: line format, selection of the output, and the boolean helper.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/debuglog.h"
#include "tests/common/testsupport.h"

namespace {

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/mirtal_log_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        LogDisableOutput(nullptr);
    }
    void TearDown() override
    {
        LogDisableOutput(nullptr);
        std::string cmd = "rm -rf '" + dir + "'";
        (void)!system(cmd.c_str());
    }
    bool Exists(const std::string& path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
    std::string dir;
};

// True when text starts with a timestamp "YYYY-MM-DD, hh:mm:ss.mmm".
bool HasTimestampShape(const std::string& text)
{
    const char* shape = "dddd-dd-dd, dd:dd:dd.ddd";
    if (text.size() < 24)
        return false;
    for (size_t i = 0; i < 24; ++i) {
        if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
            return false;
    }
    return true;
}

std::string Prefix(const char* fmt)
{
    char buf[128];
    snprintf(buf, sizeof(buf), fmt, static_cast<long>(getpid()), static_cast<long>(pthread_self()));
    return buf;
}

TEST_F(DebugLogTest, NothingWrittenBeforeFileIsSetOrAfterDisable)
{
    std::string path = dir + "/log.txt";
    testing::internal::CaptureStderr();
    DebugLogWriteText(0, 0, "lost");
    DebugLogWrite(0, 0, "lost %d", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(DebugLogSetFile(path.c_str()), 0);
    EXPECT_TRUE(Exists(path));  // the test open creates it
    EXPECT_EQ(testsupport::ReadFileText(path), "");
    EXPECT_EQ(LogDisableOutput(nullptr), 0);
    DebugLogWriteText(0, 0, "lost again");
    EXPECT_EQ(testsupport::ReadFileText(path), "");
}

TEST_F(DebugLogTest, TextLineHasTimestampPidAndThreadInSignedFields)
{
    std::string path = dir + "/log.txt";
    ASSERT_EQ(DebugLogSetFile(path.c_str()), 0);
    char before[DEBUGLOG_TIMESTAMP_SIZE], after[DEBUGLOG_TIMESTAMP_SIZE];
    DebugLogTimestamp(before);
    DebugLogWriteText(1, 0, "hello world");
    DebugLogTimestamp(after);
    std::string line = testsupport::ReadFileText(path);
    ASSERT_TRUE(HasTimestampShape(line)) << line;
    std::string ts = line.substr(0, 24);
    EXPECT_GE(ts, std::string(before));
    EXPECT_LE(ts, std::string(after));
    EXPECT_EQ(line.substr(24), Prefix(" [% 6ld, % 6ld]: ") + "hello world\n");
}

TEST_F(DebugLogTest, FormattedLineUsesUnsignedFields)
{
    std::string path = dir + "/log.txt";
    ASSERT_EQ(DebugLogSetFile(path.c_str()), 0);
    DebugLogWrite(100, 0, "value %d and %s", 42, "text");
    std::string line = testsupport::ReadFileText(path);
    ASSERT_GE(line.size(), 25u);
    EXPECT_EQ(line.substr(24), Prefix(" [%6lu, %6lu]: ") + "value 42 and text\n");
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line.substr(10, 2), ", ");
}

TEST_F(DebugLogTest, TimestampFormat)
{
    char ts[DEBUGLOG_TIMESTAMP_SIZE];
    EXPECT_EQ(DebugLogTimestamp(ts), ts);
    EXPECT_TRUE(HasTimestampShape(ts));
    EXPECT_EQ(strlen(ts), 24u);
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char year[16];
    snprintf(year, sizeof(year), "%04d", lt.tm_year + 1900);
    EXPECT_EQ(std::string(ts, 4), year);
}

TEST_F(DebugLogTest, EmptyNameMeansStderr)
{
    ASSERT_EQ(DebugLogSetFile(""), 0);
    testing::internal::CaptureStderr();
    DebugLogWriteText(0, 0, "to stderr");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(Prefix(" [% 6ld, % 6ld]: ") + "to stderr\n"), std::string::npos) << err;
    ASSERT_EQ(DebugLogSetFile(nullptr), 0);
    testing::internal::CaptureStderr();
    DebugLogWriteText(0, 0, "still on");
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("still on\n"), std::string::npos) << err;
}

TEST_F(DebugLogTest, FailedSelectionKeepsPreviousOutput)
{
    std::string path = dir + "/log.txt";
    ASSERT_EQ(DebugLogSetFile(path.c_str()), 0);
    std::string missing = dir + "/no/such/dir/log.txt";
    EXPECT_EQ(DebugLogSetFile(missing.c_str()), ENOENT);
    EXPECT_FALSE(Exists(missing));
    DebugLogWriteText(0, 0, "still here");
    EXPECT_NE(testsupport::ReadFileText(path).find("still here"), std::string::npos);
}

// The log may hold what the host did with its cards: a file the writer makes is
// the owner's alone, whatever the process's umask, also when it is made again
// after someone removed it.
TEST_F(DebugLogTest, FileIsCreatedReadableByItsOwnerOnly)
{
    const mode_t old = umask(0);
    std::string path = dir + "/log.txt";
    ASSERT_EQ(DebugLogSetFile(path.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(unlink(path.c_str()), 0);
    DebugLogWrite(0, 0, "%s", "again");
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(testsupport::ReadFileText(path).find("again"), std::string::npos);
    ASSERT_EQ(unlink(path.c_str()), 0);
    DebugLogWriteText(0, 0, "and again");
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    umask(old);
}

// Never through a symbolic link (at selection or at a later line), never into
// something that is not a regular file, and never into a file others can read:
// an own file that others may read is made owner-only before the first line.
TEST_F(DebugLogTest, LogGoesOnlyIntoAnOwnFileThatOthersCannotRead)
{
    const std::string target = dir + "/target.txt", link = dir + "/link.txt", fifo = dir + "/fifo";
    std::ofstream(target) << "kept\n";
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_NE(DebugLogSetFile(link.c_str()), 0);
    DebugLogWriteText(0, 0, "through the link");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_NE(DebugLogSetFile(fifo.c_str()), 0);  // refused at once, not left waiting for a reader
    EXPECT_NE(DebugLogSetFile(dir.c_str()), 0);
    // Chosen while a plain file, then replaced by a link: the line is dropped.
    const std::string later = dir + "/later.txt";
    ASSERT_EQ(DebugLogSetFile(later.c_str()), 0);
    ASSERT_EQ(unlink(later.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), later.c_str()), 0);
    DebugLogWrite(0, 0, "%s", "through the later link");
    EXPECT_EQ(testsupport::ReadFileText(target), "kept\n");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // The target itself, an own file others can read: made owner-only, then written.
    ASSERT_EQ(DebugLogSetFile(target.c_str()), 0);
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    DebugLogWriteText(0, 0, "own file");
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(testsupport::ReadFileText(target).find("own file"), std::string::npos);
}

TEST_F(DebugLogTest, TooLongNameIsRefusedAndChangesNothing)
{
    std::string path = dir + "/log.txt";
    ASSERT_EQ(DebugLogSetFile(path.c_str()), 0);
    std::string longName = dir + "/" + std::string(1100, 'a');
    EXPECT_EQ(DebugLogSetFile(longName.c_str()), ENAMETOOLONG);
    DebugLogWriteText(0, 0, "kept");
    EXPECT_NE(testsupport::ReadFileText(path).find("kept"), std::string::npos);
    // A name of exactly the limit is kept whole.
    std::string exact = dir + "/";
    exact += std::string(DEBUGLOG_MAX_PATH - exact.size(), 'b');
    ASSERT_EQ(exact.size(), DEBUGLOG_MAX_PATH);
    int r = DebugLogSetFile(exact.c_str());
    EXPECT_TRUE(r == 0 || r == ENAMETOOLONG);  // the file system may refuse a 1000-byte component
}

TEST_F(DebugLogTest, LinesFromManyThreadsStayWhole)
{
    std::string path = dir + "/log.txt";
    ASSERT_EQ(DebugLogSetFile(path.c_str()), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                DebugLogWrite(0, 0, "thread %d line %d %s", t, i, "payload-payload-payload");
        });
    for (auto& th : threads)
        th.join();
    std::ifstream f(path);
    std::string line;
    int n = 0;
    while (std::getline(f, line)) {
        EXPECT_TRUE(HasTimestampShape(line)) << line;
        EXPECT_EQ(line.find(" ["), 24u) << line;
        EXPECT_NE(line.find("]: thread "), std::string::npos) << line;
        EXPECT_EQ(line.find("payload-payload-payload"), line.size() - 23) << line;
        ++n;
    }
    EXPECT_EQ(n, 200);
}

TEST(HasNonZeroByteTest, ReadsBinaryAsBoolean)
{
    EXPECT_EQ(HasNonZeroByte(nullptr, 4), 0);
    EXPECT_EQ(HasNonZeroByte("\x01", 0), 0);
    EXPECT_EQ(HasNonZeroByte("\0\0\0", 3), 0);
    EXPECT_EQ(HasNonZeroByte("\0\0\x02", 3), 1);
    EXPECT_EQ(HasNonZeroByteThunk("\0\0\x02", 3), 1);
}

}  // namespace
