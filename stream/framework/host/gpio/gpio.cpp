#include "gpio.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "log.h"
#include "repeat_counter.h"
#include "sysfs_file.h"

struct Gpio::Failures {
    RepeatCounter reads;
    RepeatCounter writes;
};

namespace {

// After an export, udev may take a moment to make the line's directory appear.
constexpr int LINE_APPEAR_TRIES = 100;
constexpr auto LINE_APPEAR_STEP = std::chrono::milliseconds(10);

std::string SysfsRoot() {
    const char* root = getenv("LUMASET_GPIO_SYSFS");
    return root && *root ? root : "/sys/class/gpio";
}

// Retries while the line's directory has not appeared yet.
int WriteSysfsFileRetrying(const std::string& path, const std::string& text) {
    for (int attempt = 1;; ++attempt) {
        if (WriteSysfsFile(path, text) == 0) return 0;
        if (errno != ENOENT || attempt == LINE_APPEAR_TRIES) return -1;
        std::this_thread::sleep_for(LINE_APPEAR_STEP);
    }
}

// Reads the value file from its start, which also clears a pending edge.
// Returns 0 or 1, or -1 with errno set.
int ReadLevel(int fd) {
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    char text[8];
    ssize_t n;
    do {
        n = read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (n == 0 || text[0] < '0' || text[0] > '9') {
        errno = EIO;
        return -1;
    }
    return text[0] != '0' ? 1 : 0;
}

[[noreturn]] void Throw(int number, const std::string& what, const std::string& path, int err) {
    throw std::system_error(err, std::generic_category(),
                            "gpio " + std::to_string(number) + ": " + what + " " + path +
                                " (errno " + std::to_string(err) + ")");
}

}  // namespace

Gpio::Gpio(int number, const std::string& direction, const std::string& edge)
    : m_number(number),
      m_root(SysfsRoot()),
      m_line_path(m_root + "/gpio" + std::to_string(number)),
      m_value_fd(-1),
      m_failures(std::make_unique<Failures>()) {
    const std::string number_text = std::to_string(number);
    const std::string export_path = m_root + "/export";
    bool exported_here = true;
    if (WriteSysfsFile(export_path, number_text) < 0) {
        // EBUSY: the line is already exported, which is as good.
        if (errno != EBUSY) Throw(number, "cannot export through", export_path, errno);
        exported_here = false;
    }

    try {
        const std::string direction_path = m_line_path + "/direction";
        if (WriteSysfsFileRetrying(direction_path, direction) < 0)
            Throw(number, "cannot write \"" + direction + "\" to", direction_path, errno);

        // Lines without interrupt support have no edge file; that only matters
        // when an edge was asked for.
        const std::string edge_path = m_line_path + "/edge";
        if (WriteSysfsFile(edge_path, edge) < 0 && !(errno == ENOENT && edge == "none"))
            Throw(number, "cannot write \"" + edge + "\" to", edge_path, errno);

        const std::string value_path = m_line_path + "/value";
        const int flags = (direction == "in" ? O_RDONLY : O_RDWR) | O_CLOEXEC;
        m_value_fd = open(value_path.c_str(), flags);
        if (m_value_fd < 0) Throw(number, "cannot open", value_path, errno);

        // A fresh value descriptor reports POLLPRI until it has been read once;
        // read it now so that only real edges wake a poller.
        if (ReadLevel(m_value_fd) < 0) {
            const int err = errno;
            close(m_value_fd);
            m_value_fd = -1;
            Throw(number, "cannot read", value_path, err);
        }
    } catch (...) {
        if (exported_here && WriteSysfsFile(m_root + "/unexport", number_text) < 0)
            Log::Instance().Errorf("gpio %d: unexport after a failed set-up: %m", number);
        throw;
    }
    Log::Instance().Debugf("gpio %d: %s, edge %s, value fd %d", number, direction.c_str(),
                           edge.c_str(), m_value_fd);
}

Gpio::~Gpio() {
    if (close(m_value_fd) < 0)
        Log::Instance().Errorf("gpio %d: close(%s/value): (%d) %m", m_number, m_line_path.c_str(),
                               errno);
    const std::string unexport_path = m_root + "/unexport";
    if (WriteSysfsFile(unexport_path, std::to_string(m_number)) < 0)
        Log::Instance().Errorf("gpio %d: write(%s): (%d) %m", m_number, unexport_path.c_str(),
                               errno);
}

int Gpio::GetInterruptFD() const { return m_value_fd; }

int Gpio::GetValue() const {
    const int level = ReadLevel(m_value_fd);
    if (level < 0) {
        if (const uint64_t due = m_failures->reads.Count(std::to_string(errno)))
            Log::Instance().Errorf("gpio %d: read(%s/value): (%d) %m%s", m_number, m_line_path.c_str(),
                                   errno, RepeatCounter::Suffix(due).c_str());
        return -1;
    }
    if (const uint64_t unreported = m_failures->reads.TakePending())
        Log::Instance().Infof("gpio %d: %s/value reads again, after %llu more failed reads", m_number,
                              m_line_path.c_str(), static_cast<unsigned long long>(unreported));
    return level;
}

Status Gpio::SetValue(int value) {
    const char text = value ? '1' : '0';
    ssize_t n;
    do {
        n = pwrite(m_value_fd, &text, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        if (n >= 0) errno = EIO;
        if (const uint64_t due = m_failures->writes.Count(std::to_string(errno)))
            Log::Instance().Errorf("gpio %d: write(%s/value, \"%c\"): (%d) %m%s", m_number,
                                   m_line_path.c_str(), text, errno, RepeatCounter::Suffix(due).c_str());
        return Status::FAILURE_SYSCALL;
    }
    if (const uint64_t unreported = m_failures->writes.TakePending())
        Log::Instance().Infof("gpio %d: %s/value takes writes again, after %llu more failed writes",
                              m_number, m_line_path.c_str(), static_cast<unsigned long long>(unreported));
    return Status::SUCCESS;
}
