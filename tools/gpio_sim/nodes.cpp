#include "nodes.h"

#include <cstring>

namespace {
constexpr uint64_t FIRST_LINE_INODE = 16;
constexpr uint64_t INODES_PER_LINE = 16;
constexpr NodeKind FIRST_LINE_KIND = NodeKind::LINE_DIR;

constexpr NodeKind LINE_FILES[] = {NodeKind::DIRECTION, NodeKind::EDGE, NodeKind::VALUE,
                                   NodeKind::ACTIVE_LOW};
constexpr NodeKind SIM_FILES[] = {NodeKind::LEVEL, NodeKind::WRITES, NodeKind::FAIL,
                                  NodeKind::READ_FAIL};
}  // namespace

uint64_t NodeToInode(Node node) {
    switch (node.kind) {
        case NodeKind::NONE: return 0;
        case NodeKind::ROOT: return 1;  // FUSE_ROOT_ID
        case NodeKind::EXPORT: return 2;
        case NodeKind::UNEXPORT: return 3;
        case NodeKind::SIM_ROOT: return 4;
        case NodeKind::POWER_DIR: return 5;
        case NodeKind::WAKE_LOCK: return 6;
        case NodeKind::WAKE_UNLOCK: return 7;
        default: break;
    }
    return FIRST_LINE_INODE + node.gpio * INODES_PER_LINE +
           (static_cast<uint64_t>(node.kind) - static_cast<uint64_t>(FIRST_LINE_KIND));
}

Node InodeToNode(uint64_t inode) {
    switch (inode) {
        case 1: return {NodeKind::ROOT, 0};
        case 2: return {NodeKind::EXPORT, 0};
        case 3: return {NodeKind::UNEXPORT, 0};
        case 4: return {NodeKind::SIM_ROOT, 0};
        case 5: return {NodeKind::POWER_DIR, 0};
        case 6: return {NodeKind::WAKE_LOCK, 0};
        case 7: return {NodeKind::WAKE_UNLOCK, 0};
        default: break;
    }
    if (inode < FIRST_LINE_INODE) return {};
    const uint64_t offset = (inode - FIRST_LINE_INODE) % INODES_PER_LINE;
    const uint64_t kind = static_cast<uint64_t>(FIRST_LINE_KIND) + offset;
    if (kind > static_cast<uint64_t>(NodeKind::READ_FAIL)) return {};
    return {static_cast<NodeKind>(kind),
            static_cast<unsigned>((inode - FIRST_LINE_INODE) / INODES_PER_LINE)};
}

bool IsDirectory(NodeKind kind) {
    return kind == NodeKind::ROOT || kind == NodeKind::SIM_ROOT || kind == NodeKind::POWER_DIR ||
           kind == NodeKind::LINE_DIR || kind == NodeKind::SIM_DIR;
}

bool IsLineFile(NodeKind kind) {
    for (NodeKind file : LINE_FILES)
        if (file == kind) return true;
    return false;
}

bool IsSimFile(NodeKind kind) {
    for (NodeKind file : SIM_FILES)
        if (file == kind) return true;
    return false;
}

bool IsPowerFile(NodeKind kind) { return kind == NodeKind::WAKE_LOCK || kind == NodeKind::WAKE_UNLOCK; }

const char* NodeName(NodeKind kind) {
    switch (kind) {
        case NodeKind::EXPORT: return "export";
        case NodeKind::UNEXPORT: return "unexport";
        case NodeKind::SIM_ROOT: return "sim";
        case NodeKind::POWER_DIR: return "power";
        case NodeKind::WAKE_LOCK: return "wake_lock";
        case NodeKind::WAKE_UNLOCK: return "wake_unlock";
        case NodeKind::DIRECTION: return "direction";
        case NodeKind::EDGE: return "edge";
        case NodeKind::VALUE: return "value";
        case NodeKind::ACTIVE_LOW: return "active_low";
        case NodeKind::LEVEL: return "level";
        case NodeKind::WRITES: return "writes";
        case NodeKind::FAIL: return "fail";
        case NodeKind::READ_FAIL: return "read_fail";
        default: break;
    }
    return "";
}

NodeKind ChildKind(NodeKind directory, const std::string& name) {
    if (directory == NodeKind::LINE_DIR) {
        for (NodeKind file : LINE_FILES)
            if (name == NodeName(file)) return file;
    } else if (directory == NodeKind::SIM_DIR) {
        for (NodeKind file : SIM_FILES)
            if (name == NodeName(file)) return file;
    } else if (directory == NodeKind::POWER_DIR) {
        for (NodeKind file : {NodeKind::WAKE_LOCK, NodeKind::WAKE_UNLOCK})
            if (name == NodeName(file)) return file;
    }
    return NodeKind::NONE;
}

bool ParseLineDirName(const std::string& name, const char* prefix, unsigned* gpio) {
    const size_t length = std::strlen(prefix);
    if (name.compare(0, length, prefix) != 0) return false;
    const std::string digits = name.substr(length);
    if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0')) return false;
    for (char c : digits)
        if (c < '0' || c > '9') return false;
    *gpio = static_cast<unsigned>(std::stoul(digits));
    return true;
}
