#pragma once

#include <cstdint>
#include <string>

// Fixed inode numbers: the tree's shape follows the line number, so no table is kept.
enum class NodeKind {
    NONE,
    ROOT,
    EXPORT,
    UNEXPORT,
    SIM_ROOT,
    POWER_DIR,   // power/: the kernel's wake-lock files
    WAKE_LOCK,
    WAKE_UNLOCK,
    LINE_DIR,    // gpioN/
    DIRECTION,
    EDGE,
    VALUE,
    ACTIVE_LOW,
    SIM_DIR,     // sim/N/
    LEVEL,
    WRITES,
    FAIL,
    READ_FAIL,
};

struct Node {
    NodeKind kind = NodeKind::NONE;
    unsigned gpio = 0;
};

uint64_t NodeToInode(Node node);
Node InodeToNode(uint64_t inode);

bool IsDirectory(NodeKind kind);
// Files under gpioN/, which exist only while the line is exported.
bool IsLineFile(NodeKind kind);
bool IsSimFile(NodeKind kind);
bool IsPowerFile(NodeKind kind);
// Directory-entry name of a file node ("value", "level", ...).
const char* NodeName(NodeKind kind);
// The file named `name` inside a gpioN/ or sim/N/ directory, NONE if there is none.
NodeKind ChildKind(NodeKind directory, const std::string& name);
// "gpio208" -> 208; false for anything that is not "gpio" and a canonical decimal number.
bool ParseLineDirName(const std::string& name, const char* prefix, unsigned* gpio);
