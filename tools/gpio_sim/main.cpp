// gpio_sim: the Linux sysfs GPIO tree as a FUSE filesystem, for tests and demos.

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "gpio_chip.h"
#include "log.h"
#include "sim_fs.h"
#include "wake_locks.h"

namespace {
constexpr unsigned DEFAULT_LINES = 1024;

void PrintHelp(const char* program) {
    std::printf(
        "Usage: %s [OPTIONS] MOUNTPOINT\n"
        "Emulates the Linux sysfs GPIO tree (/sys/class/gpio) at MOUNTPOINT.\n"
        "\n"
        "  export, unexport            write a line number to add or remove gpioN/\n"
        "  gpioN/direction             in, out, high, low\n"
        "  gpioN/edge                  none, rising, falling, both (input lines only)\n"
        "  gpioN/value                 0 or 1, shown through active_low; poll() reports\n"
        "                              POLLPRI|POLLERR after each edge selected by edge\n"
        "  gpioN/active_low            0 or 1\n"
        "Control tree (exists for every line, listed once named):\n"
        "  sim/N/level                 physical level; write 0 or 1 to move an input line\n"
        "  sim/N/writes                number of write(2) calls on gpioN/value so far\n"
        "  sim/N/fail                  errno that value writes fail with; 0 clears\n"
        "  sim/N/read_fail             errno that value reads fail with (the edge stays\n"
        "                              pending); 0 clears\n"
        "Wake locks, as the kernel's /sys/power files:\n"
        "  power/wake_lock             write \"name\" or \"name timeout_ns\" to take a lock (a\n"
        "                              timed one runs out by itself); read: the active ones\n"
        "  power/wake_unlock           write \"name\" to let it go; read: the inactive ones\n"
        "\n"
        "Options:\n"
        "  -l, --lines N               lines 0..N-1 exist (default %u)\n"
        "  -b, --background            detach once mounted (default: stay in the foreground)\n"
        "  -d, --debug                 log every FUSE request\n"
        "  -h, --help                  this text\n"
        "\n"
        "SIGTERM, SIGINT or SIGHUP unmount and end it with status 0. Needs /dev/fuse\n"
        "(and root, or fusermount3). Example:\n"
        "  mkdir /tmp/gpio && %s /tmp/gpio &\n"
        "  echo 208 > /tmp/gpio/export && echo 1 > /tmp/gpio/sim/208/level\n",
        program, DEFAULT_LINES, program);
}

struct ArgsDeleter {
    void operator()(fuse_args* args) const { fuse_opt_free_args(args); }
};
struct SessionDeleter {
    void operator()(fuse_session* session) const { fuse_session_destroy(session); }
};
}  // namespace

int main(int argc, char** argv) {
    unsigned lines = DEFAULT_LINES;
    bool background = false;
    bool debug = false;
    static const option LONG_OPTIONS[] = {{"lines", required_argument, nullptr, 'l'},
                                          {"background", no_argument, nullptr, 'b'},
                                          {"debug", no_argument, nullptr, 'd'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    for (int opt; (opt = getopt_long(argc, argv, "l:bdh", LONG_OPTIONS, nullptr)) != -1;) {
        switch (opt) {
            case 'l': {
                char* end = nullptr;
                const unsigned long parsed = std::strtoul(optarg, &end, 10);
                if (*optarg == '\0' || *end != '\0' || parsed == 0 || parsed > 100000) {
                    std::fprintf(stderr, "%s: --lines wants a number from 1 to 100000\n", argv[0]);
                    return 2;
                }
                lines = static_cast<unsigned>(parsed);
                break;
            }
            case 'b': background = true; break;
            case 'd': debug = true; break;
            case 'h': PrintHelp(argv[0]); return 0;
            default: std::fprintf(stderr, "Try '%s --help'.\n", argv[0]); return 2;
        }
    }
    if (optind + 1 != argc) {
        std::fprintf(stderr, "%s: one MOUNTPOINT wanted. Try '%s --help'.\n", argv[0], argv[0]);
        return 2;
    }
    const char* mount_point = argv[optind];

    GpioChip chip(lines);
    WakeLocks wake_locks;
    SimFs fs(chip, wake_locks);

    fuse_args raw_args = FUSE_ARGS_INIT(0, nullptr);
    std::unique_ptr<fuse_args, ArgsDeleter> args(&raw_args);
    // As root, let every user in (tests may drop privileges); no permission checks by the kernel.
    const std::string options = std::string("fsname=gpio_sim,subtype=gpio_sim") +
                                (geteuid() == 0 ? ",allow_other" : "");
    if (fuse_opt_add_arg(args.get(), argv[0]) != 0 || fuse_opt_add_arg(args.get(), "-o") != 0 ||
        fuse_opt_add_arg(args.get(), options.c_str()) != 0 ||
        (debug && fuse_opt_add_arg(args.get(), "-d") != 0)) {
        Log::Instance().Errorf("gpio_sim: out of memory for the mount options");
        return 1;
    }

    std::unique_ptr<fuse_session, SessionDeleter> session(
        fuse_session_new(args.get(), &SimFs::Operations(), sizeof(fuse_lowlevel_ops), &fs));
    if (!session) {
        Log::Instance().Errorf("gpio_sim: cannot create the FUSE session");
        return 1;
    }
    if (fuse_set_signal_handlers(session.get()) != 0) {
        Log::Instance().Errorf("gpio_sim: cannot install the signal handlers: %m");
        return 1;
    }
    if (fuse_session_mount(session.get(), mount_point) != 0) {
        Log::Instance().Errorf("gpio_sim: cannot mount at %s (needs /dev/fuse and root or fusermount3)",
                               mount_point);
        fuse_remove_signal_handlers(session.get());
        return 1;
    }
    if (background && fuse_daemonize(0) != 0) {
        Log::Instance().Errorf("gpio_sim: cannot detach: %m");
        fuse_session_unmount(session.get());
        fuse_remove_signal_handlers(session.get());
        return 1;
    }

    // One thread: requests are answered in order and the emulator needs no locks.
    const int result = fuse_session_loop(session.get());
    fuse_session_unmount(session.get());
    fuse_remove_signal_handlers(session.get());
    // A positive result is the signal that ended the loop: a clean stop.
    if (result < 0) {
        Log::Instance().Errorf("gpio_sim: session at %s ended with an error: %s", mount_point,
                               std::strerror(-result));
        return 1;
    }
    return 0;
}
