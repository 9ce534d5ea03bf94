#pragma once

// /data as the mount point of the daemon's private tmpfs. Made when missing and
// removed once no test on this machine uses it any more: another clone's tests
// may be running, and removing a folder that is a mount point in their
// namespace would unmount their tmpfs under their daemon.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace overload_test {

class DataMountPoint {
public:
    DataMountPoint() {
        try {
            m_guard = Open(GUARD);
            m_users = Open(USERS);
            Lock(m_guard, LOCK_EX);
            struct stat st {};
            if (stat("/data", &st) != 0) {
                if (mkdir("/data", 0755) != 0) Fail("cannot create /data");
                Mark(true);
            }
            Lock(m_users, LOCK_SH);
            flock(m_guard, LOCK_UN);
        } catch (...) {
            Close();
            throw;
        }
    }
    ~DataMountPoint() {
        flock(m_users, LOCK_UN);
        if (flock(m_guard, LOCK_EX) == 0) {
            // Nobody else holds the users' lock: the last one out removes what a test made.
            if (flock(m_users, LOCK_EX | LOCK_NB) == 0 && Marked() && rmdir("/data") == 0) Mark(false);
        }
        Close();
    }
    DataMountPoint(const DataMountPoint&) = delete;
    DataMountPoint& operator=(const DataMountPoint&) = delete;

private:
    // Under /run, which only root can write: the guard holds "1" while /data is a test's.
    static constexpr const char* GUARD = "/run/lumaset-test-data.lock";
    static constexpr const char* USERS = "/run/lumaset-test-data.users";

    [[noreturn]] static void Fail(const std::string& what) {
        throw std::runtime_error(what + ": " + strerror(errno));
    }
    static int Open(const char* path) {
        const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) Fail(std::string("cannot open ") + path);
        return fd;
    }
    static void Lock(int fd, int operation) {
        while (flock(fd, operation) != 0)
            if (errno != EINTR) Fail("cannot lock the /data guard");
    }
    bool Marked() const {
        char mark = 0;
        return pread(m_guard, &mark, 1, 0) == 1 && mark == '1';
    }
    void Mark(bool made) {
        if (pwrite(m_guard, made ? "1" : "0", 1, 0) != 1) Fail("cannot write the /data guard");
    }

    void Close() {
        if (m_users >= 0) close(m_users);
        if (m_guard >= 0) close(m_guard);
    }

    int m_guard = -1;
    int m_users = -1;
};

}  // namespace overload_test
