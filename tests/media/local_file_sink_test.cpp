#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "local_file_sink.h"
#include "log_capture.h"

namespace {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/local_file_sink_test.XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string Contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

Status WriteText(LocalFileSink& sink, std::string text) {
    return sink.Write(reinterpret_cast<unsigned char*>(&text[0]), static_cast<unsigned int>(text.size()));
}

}  // namespace

TEST(LocalFileSink, ModesTruncateOrAppendAndWritesFollowEachOther) {
    TempDir dir;
    const std::string path = dir.File("out.bin");
    {
        LocalFileSink sink(path, "w");
        ASSERT_TRUE(sink.IsOpen());
        EXPECT_EQ(Contents(path), "");  // created at once
        EXPECT_EQ(WriteText(sink, "first "), Status::SUCCESS);
        EXPECT_EQ(WriteText(sink, "second"), Status::SUCCESS);
        EXPECT_EQ(sink.Write(nullptr, 0), Status::SUCCESS);
    }
    EXPECT_EQ(Contents(path), "first second");
    {
        LocalFileSink sink(path, "a");
        EXPECT_EQ(WriteText(sink, " third"), Status::SUCCESS);
    }
    EXPECT_EQ(Contents(path), "first second third");
    {
        LocalFileSink sink(path, "wb");
        EXPECT_EQ(WriteText(sink, "again"), Status::SUCCESS);
    }
    EXPECT_EQ(Contents(path), "again");
    {
        LogCapture log;
        LocalFileSink exclusive(path, "wx");
        EXPECT_FALSE(exclusive.IsOpen());
        EXPECT_EQ(log.Matching("File exists").size(), 1u);
    }
}

TEST(LocalFileSink, AFullDeviceFailsWithTheErrnoLogged) {
    LogCapture log;
    LocalFileSink sink("/dev/full", "w");
    ASSERT_TRUE(sink.IsOpen());
    EXPECT_EQ(WriteText(sink, "no room"), Status::FAILURE_SYSCALL);
    const auto records = log.Matching("(28) No space left on device");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Log::Level::ERROR);
    EXPECT_NE(records[0].text.find("/dev/full"), std::string::npos);
}

TEST(LocalFileSink, AFileThatNeverOpenedFailsEveryWrite) {
    LogCapture log;
    TempDir dir;
    LocalFileSink missing(dir.File("no/such/folder/out.bin"), "w");
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(log.Matching("(2) No such file or directory").size(), 1u);
    EXPECT_EQ(WriteText(missing, "lost"), Status::FAILURE_INVALID_STATE);
    EXPECT_EQ(log.Matching("is not open").size(), 1u);

    LocalFileSink nonsense(dir.File("x"), "q");
    EXPECT_FALSE(nonsense.IsOpen());
    EXPECT_EQ(log.Matching("unknown mode").size(), 1u);

    unsigned char byte = 0;
    LocalFileSink read_only(dir.File("x"), "w");
    LocalFileSink reader(dir.File("x"), "r");
    EXPECT_EQ(reader.Write(&byte, 1), Status::FAILURE_SYSCALL);
    EXPECT_EQ(log.Matching("Bad file descriptor").size(), 1u);
    EXPECT_EQ(reader.Write(nullptr, 1), Status::FAILURE_NULL_POINTER);
}

namespace {
void Interrupted(int) {}
}  // namespace

// A pipe drained slowly while signals keep landing on the writer makes
// write(2) return short counts and EINTR; every byte must still arrive once.
TEST(LocalFileSink, ShortWritesAndInterruptionsLoseNothing) {
    struct sigaction action {};
    action.sa_handler = Interrupted;  // no SA_RESTART: blocked writes end early
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[1]);
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 4096);

    std::string received;
    std::thread reader([&] {
        char chunk[8192];
        for (;;) {
            const ssize_t got = read(fds[0], chunk, sizeof chunk);
            if (got <= 0) break;
            received.append(chunk, static_cast<size_t>(got));
            if (received.size() % (64 * 1024) < sizeof chunk) usleep(1000);
        }
    });
    std::atomic<bool> writing{true};
    const pthread_t writer = pthread_self();
    std::thread interrupter([&] {
        while (writing) {
            pthread_kill(writer, SIGUSR1);
            usleep(300);
        }
    });
    {
        LocalFileSink sink(path, "w");
        ASSERT_TRUE(sink.IsOpen());
        EXPECT_EQ(WriteText(sink, data), Status::SUCCESS);
    }
    writing = false;
    interrupter.join();
    close(fds[1]);
    reader.join();
    close(fds[0]);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}
