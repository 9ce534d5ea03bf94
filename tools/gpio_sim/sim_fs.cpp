#include "sim_fs.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "log.h"

namespace {
// What every sysfs attribute reports; POLLPRI|POLLERR are added for a pending edge.
constexpr unsigned DEFAULT_POLL_MASK = POLLIN | POLLRDNORM | POLLOUT | POLLWRNORM;
// The size sysfs gives every attribute.
constexpr off_t SYSFS_FILE_SIZE = 4096;

struct DirEntry {
    std::string name;
    Node node;
};

bool Readable(NodeKind kind) { return kind != NodeKind::EXPORT && kind != NodeKind::UNEXPORT; }
bool Writable(NodeKind kind) { return kind != NodeKind::WRITES; }

mode_t FileMode(NodeKind kind) {
    if (IsDirectory(kind)) return S_IFDIR | 0755;
    if (!Readable(kind)) return S_IFREG | 0200;
    if (!Writable(kind)) return S_IFREG | 0444;
    return S_IFREG | 0644;
}
}  // namespace

SimFs::SimFs(GpioChip& chip, WakeLocks& wake_locks) : m_chip(chip), m_wake_locks(wake_locks) {
    clock_gettime(CLOCK_REALTIME, &m_started);
    m_chip.SetEventSink([this](unsigned gpio) { Notify(gpio); });
}

const fuse_lowlevel_ops& SimFs::Operations() {
    static const fuse_lowlevel_ops operations = [] {
        fuse_lowlevel_ops ops {};
        ops.init = Init;
        ops.lookup = Lookup;
        ops.getattr = GetAttr;
        ops.setattr = SetAttr;
        ops.readdir = ReadDir;
        ops.create = Create;
        ops.open = Open;
        ops.read = Read;
        ops.write = Write;
        ops.release = Release;
        ops.poll = Poll;
        return ops;
    }();
    return operations;
}

SimFs& SimFs::From(fuse_req_t req) { return *static_cast<SimFs*>(fuse_req_userdata(req)); }

void SimFs::Init(void*, fuse_conn_info* conn) {
    // Shell redirections open with O_TRUNC; sysfs ignores it, so take it with the open.
    if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
}

bool SimFs::Exists(Node node) const {
    switch (node.kind) {
        case NodeKind::NONE: return false;
        case NodeKind::ROOT:
        case NodeKind::EXPORT:
        case NodeKind::UNEXPORT:
        case NodeKind::SIM_ROOT:
        case NodeKind::POWER_DIR:
        case NodeKind::WAKE_LOCK:
        case NodeKind::WAKE_UNLOCK: return true;
        default: break;
    }
    if (!m_chip.Valid(node.gpio)) return false;
    if (node.kind == NodeKind::LINE_DIR || IsLineFile(node.kind))
        return m_chip.FindExported(node.gpio) != nullptr;
    return true;  // sim/N/ exists for every line of the chip
}

bool SimFs::Attributes(Node node, struct stat* st) const {
    if (!Exists(node)) return false;
    *st = {};
    st->st_ino = NodeToInode(node);
    st->st_mode = FileMode(node.kind);
    st->st_nlink = IsDirectory(node.kind) ? 2 : 1;
    st->st_size = IsDirectory(node.kind) ? 0 : SYSFS_FILE_SIZE;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_atim = st->st_mtim = st->st_ctim = m_started;
    return true;
}

void SimFs::ReplyEntry(fuse_req_t req, Node node) const {
    fuse_entry_param entry {};
    if (!Attributes(node, &entry.attr)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    entry.ino = entry.attr.st_ino;
    // No caching: gpioN/ must appear and vanish with export and unexport.
    entry.attr_timeout = 0.0;
    entry.entry_timeout = 0.0;
    fuse_reply_entry(req, &entry);
}

void SimFs::Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    SimFs& fs = From(req);
    const Node directory = InodeToNode(parent);
    const std::string child_name = name;
    Node child;
    unsigned gpio = 0;
    if (!fs.Exists(directory)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    switch (directory.kind) {
        case NodeKind::ROOT:
            if (child_name == "export") child = {NodeKind::EXPORT, 0};
            else if (child_name == "unexport") child = {NodeKind::UNEXPORT, 0};
            else if (child_name == "sim") child = {NodeKind::SIM_ROOT, 0};
            else if (child_name == "power") child = {NodeKind::POWER_DIR, 0};
            else if (ParseLineDirName(child_name, "gpio", &gpio)) child = {NodeKind::LINE_DIR, gpio};
            break;
        case NodeKind::SIM_ROOT:
            // Naming sim/N/ creates the line's state, so tests can set a level before export.
            if (ParseLineDirName(child_name, "", &gpio) && fs.m_chip.Valid(gpio)) {
                fs.m_chip.Touch(gpio);
                child = {NodeKind::SIM_DIR, gpio};
            }
            break;
        case NodeKind::LINE_DIR:
        case NodeKind::SIM_DIR:
        case NodeKind::POWER_DIR:
            child = {ChildKind(directory.kind, child_name), directory.gpio};
            break;
        default:
            fuse_reply_err(req, ENOTDIR);
            return;
    }
    fs.ReplyEntry(req, child);
}

void SimFs::GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st {};
    if (!From(req).Attributes(InodeToNode(ino), &st)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_reply_attr(req, &st, 0.0);
}

void SimFs::SetAttr(fuse_req_t req, fuse_ino_t ino, struct stat*, int to_set, fuse_file_info*) {
    // Truncation and touching are accepted and ignored, as sysfs does; nothing else changes.
    constexpr int IGNORED = FUSE_SET_ATTR_SIZE | FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME |
                            FUSE_SET_ATTR_ATIME_NOW | FUSE_SET_ATTR_MTIME_NOW | FUSE_SET_ATTR_CTIME;
    struct stat st {};
    if (!From(req).Attributes(InodeToNode(ino), &st)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    if (to_set & ~IGNORED) {
        fuse_reply_err(req, EPERM);
        return;
    }
    fuse_reply_attr(req, &st, 0.0);
}

void SimFs::ReadDir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    SimFs& fs = From(req);
    const Node directory = InodeToNode(ino);
    if (!fs.Exists(directory)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    if (!IsDirectory(directory.kind)) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<DirEntry> entries = {{".", directory}, {"..", {NodeKind::ROOT, 0}}};
    switch (directory.kind) {
        case NodeKind::ROOT:
            entries.push_back({"export", {NodeKind::EXPORT, 0}});
            entries.push_back({"unexport", {NodeKind::UNEXPORT, 0}});
            entries.push_back({"sim", {NodeKind::SIM_ROOT, 0}});
            entries.push_back({"power", {NodeKind::POWER_DIR, 0}});
            for (unsigned gpio : fs.m_chip.Known())
                if (fs.m_chip.FindExported(gpio))
                    entries.push_back({"gpio" + std::to_string(gpio), {NodeKind::LINE_DIR, gpio}});
            break;
        case NodeKind::SIM_ROOT:
            for (unsigned gpio : fs.m_chip.Known())
                entries.push_back({std::to_string(gpio), {NodeKind::SIM_DIR, gpio}});
            break;
        case NodeKind::POWER_DIR:
            for (NodeKind kind : {NodeKind::WAKE_LOCK, NodeKind::WAKE_UNLOCK})
                entries.push_back({NodeName(kind), {kind, 0}});
            break;
        case NodeKind::LINE_DIR:
            for (NodeKind kind : {NodeKind::DIRECTION, NodeKind::EDGE, NodeKind::VALUE, NodeKind::ACTIVE_LOW})
                entries.push_back({NodeName(kind), {kind, directory.gpio}});
            break;
        default:
            for (NodeKind kind : {NodeKind::LEVEL, NodeKind::WRITES, NodeKind::FAIL, NodeKind::READ_FAIL})
                entries.push_back({NodeName(kind), {kind, directory.gpio}});
            break;
    }
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t index = static_cast<size_t>(std::max<off_t>(off, 0)); index < entries.size(); ++index) {
        struct stat st {};
        st.st_ino = NodeToInode(entries[index].node);
        st.st_mode = FileMode(entries[index].node.kind);
        const size_t need = fuse_add_direntry(req, buffer.data() + used, size - used,
                                              entries[index].name.c_str(), &st,
                                              static_cast<off_t>(index + 1));
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

// Files come and go only with export and unexport, as in sysfs.
void SimFs::Create(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
    fuse_reply_err(req, EACCES);
}

void SimFs::Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    SimFs& fs = From(req);
    const Node node = InodeToNode(ino);
    if (!fs.Exists(node)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    if (IsDirectory(node.kind)) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    const int access = fi->flags & O_ACCMODE;
    if ((access != O_WRONLY && !Readable(node.kind)) || (access != O_RDONLY && !Writable(node.kind))) {
        fuse_reply_err(req, EACCES);
        return;
    }
    OpenFile file;
    file.node = node;
    if (IsLineFile(node.kind)) file.generation = fs.m_chip.FindExported(node.gpio)->generation;
    const uint64_t handle = fs.m_next_handle++;
    fs.m_open.emplace(handle, std::move(file));
    // Every read must reach us (the page cache would hide level changes); seeking still works.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    fi->nonseekable = 0;
    fi->fh = handle;
    if (fuse_reply_open(req, fi) != 0) fs.m_open.erase(handle);  // the opener gave up
}

bool SimFs::Stale(const OpenFile& file) const {
    if (!IsLineFile(file.node.kind)) return false;
    const GpioLine* line = m_chip.FindExported(file.node.gpio);
    return line == nullptr || line->generation != file.generation;
}

int SimFs::Text(const OpenFile& file, std::string* text) const {
    if (Stale(file)) return ENODEV;
    if (IsPowerFile(file.node.kind)) {
        *text = m_wake_locks.Names(file.node.kind == NodeKind::WAKE_LOCK, WakeLocks::Clock::now());
        return 0;
    }
    const GpioLine* line = m_chip.Find(file.node.gpio);
    static const GpioLine untouched;
    if (line == nullptr) line = &untouched;
    switch (file.node.kind) {
        case NodeKind::DIRECTION: *text = GpioChip::DirectionText(*line); break;
        case NodeKind::EDGE: *text = GpioChip::EdgeText(*line); break;
        case NodeKind::VALUE:
            // A failing read leaves the edge pending, as the kernel does.
            if (line->read_fail != 0) return line->read_fail;
            *text = GpioChip::ValueText(*line);
            break;
        case NodeKind::ACTIVE_LOW: *text = GpioChip::ActiveLowText(*line); break;
        case NodeKind::LEVEL: *text = GpioChip::LevelText(*line); break;
        case NodeKind::WRITES: *text = GpioChip::WritesText(*line); break;
        case NodeKind::FAIL: *text = GpioChip::FailText(*line); break;
        case NodeKind::READ_FAIL: *text = GpioChip::ReadFailText(*line); break;
        default: return EACCES;
    }
    return 0;
}

void SimFs::Read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    SimFs& fs = From(req);
    const auto found = fs.m_open.find(fi->fh);
    if (found == fs.m_open.end()) {
        fuse_reply_err(req, EBADF);
        return;
    }
    OpenFile& file = found->second;
    std::string text;
    if (const int error = fs.Text(file, &text)) {
        fuse_reply_err(req, error);
        return;
    }
    // Past the end there is nothing, and (as with the kernel) the pending edge stays pending.
    if (off < 0 || static_cast<size_t>(off) >= text.size()) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    if (file.node.kind == NodeKind::VALUE) file.seen = fs.m_chip.Find(file.node.gpio)->event;
    const size_t start = static_cast<size_t>(off);
    fuse_reply_buf(req, text.data() + start, std::min(size, text.size() - start));
}

int SimFs::Store(const OpenFile& file, const std::string& text) {
    if (Stale(file)) return ENODEV;
    const unsigned gpio = file.node.gpio;
    switch (file.node.kind) {
        case NodeKind::EXPORT: return m_chip.Export(text);
        case NodeKind::UNEXPORT: return m_chip.Unexport(text);
        case NodeKind::DIRECTION: return m_chip.WriteDirection(gpio, text);
        case NodeKind::EDGE: return m_chip.WriteEdge(gpio, text);
        case NodeKind::VALUE: return m_chip.WriteValue(gpio, text);
        case NodeKind::ACTIVE_LOW: return m_chip.WriteActiveLow(gpio, text);
        case NodeKind::LEVEL: return m_chip.WriteLevel(gpio, text);
        case NodeKind::FAIL: return m_chip.WriteFail(gpio, text);
        case NodeKind::READ_FAIL: return m_chip.WriteReadFail(gpio, text);
        case NodeKind::WAKE_LOCK: return m_wake_locks.Lock(text, WakeLocks::Clock::now());
        case NodeKind::WAKE_UNLOCK: return m_wake_locks.Unlock(text);
        default: break;
    }
    return EACCES;
}

void SimFs::Write(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t, fuse_file_info* fi) {
    SimFs& fs = From(req);
    const auto found = fs.m_open.find(fi->fh);
    if (found == fs.m_open.end()) {
        fuse_reply_err(req, EBADF);
        return;
    }
    // Every write(2) is one store, whatever the file offset, as in sysfs.
    if (const int error = fs.Store(found->second, std::string(buf, size))) {
        fuse_reply_err(req, error);
        return;
    }
    fuse_reply_write(req, size);
}

void SimFs::Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    From(req).m_open.erase(fi->fh);
    fuse_reply_err(req, 0);
}

void SimFs::Poll(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, fuse_pollhandle* ph) {
    SimFs& fs = From(req);
    PollHandle handle(ph, fuse_pollhandle_destroy);
    const auto found = fs.m_open.find(fi->fh);
    // Never ENOSYS: the kernel would stop asking for the whole mount.
    if (found == fs.m_open.end()) {
        fuse_reply_poll(req, DEFAULT_POLL_MASK | POLLERR);
        return;
    }
    OpenFile& file = found->second;
    unsigned mask = DEFAULT_POLL_MASK;
    if (file.node.kind == NodeKind::VALUE) {
        const GpioLine* line = fs.m_chip.Find(file.node.gpio);
        if (fs.Stale(file) || line == nullptr || file.seen != line->event) mask |= POLLPRI | POLLERR;
        // Keep the newest handle: it wakes this file's pollers at the next edge.
        if (handle) file.poll = std::move(handle);
    }
    fuse_reply_poll(req, mask);
}

void SimFs::Notify(unsigned gpio) {
    for (auto& entry : m_open) {
        OpenFile& file = entry.second;
        if (file.node.kind != NodeKind::VALUE || file.node.gpio != gpio || !file.poll) continue;
        const int result = fuse_lowlevel_notify_poll(file.poll.get());
        if (result < 0 && result != -ENOENT)
            Log::Instance().Warnf("gpio_sim: poll notification for gpio%u: %s", gpio, std::strerror(-result));
        file.poll.reset();
    }
}
