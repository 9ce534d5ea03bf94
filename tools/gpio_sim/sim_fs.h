#pragma once

#define FUSE_USE_VERSION 314
#include <fuse_lowlevel.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "gpio_chip.h"
#include "nodes.h"
#include "wake_locks.h"

// The sysfs GPIO tree, its control tree and the kernel's wake-lock files (power/)
// as a FUSE low-level filesystem.
// Runs on one session thread, so it holds no locks.
class SimFs {
public:
    SimFs(GpioChip& chip, WakeLocks& wake_locks);
    SimFs(const SimFs&) = delete;
    SimFs& operator=(const SimFs&) = delete;

    static const fuse_lowlevel_ops& Operations();

private:
    using PollHandle = std::unique_ptr<fuse_pollhandle, void (*)(fuse_pollhandle*)>;
    struct OpenFile {
        Node node;
        uint64_t generation = 0;  // the export the file was opened under
        uint64_t seen = 0;        // event count at the last read of `value`
        PollHandle poll{nullptr, fuse_pollhandle_destroy};
    };

    static SimFs& From(fuse_req_t req);
    static void Init(void* userdata, fuse_conn_info* conn);
    static void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name);
    static void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void SetAttr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi);
    static void ReadDir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi);
    static void Create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                       fuse_file_info* fi);
    static void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void Read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi);
    static void Write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off,
                      fuse_file_info* fi);
    static void Release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void Poll(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi, fuse_pollhandle* ph);

    // The node exists now (a line file only while its line is exported).
    bool Exists(Node node) const;
    bool Attributes(Node node, struct stat* st) const;
    void ReplyEntry(fuse_req_t req, Node node) const;
    // Text of a readable file; errno when the file went stale under the client.
    int Text(const OpenFile& file, std::string* text) const;
    int Store(const OpenFile& file, const std::string& text);
    bool Stale(const OpenFile& file) const;
    // Wakes every poller of the line's value files.
    void Notify(unsigned gpio);

    GpioChip& m_chip;
    WakeLocks& m_wake_locks;
    std::unordered_map<uint64_t, OpenFile> m_open;
    uint64_t m_next_handle = 1;
    struct timespec m_started {};
};
