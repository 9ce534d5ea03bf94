#pragma once

#include <string>

#include "status.h"

// A network interface of this machine, as a setting names it.
struct NetInterface {
    std::string name;
    unsigned index = 0;
    bool up = false;

    // `text` is an interface's name, its index, or one of its addresses.
    // FAILURE_INVALID with the reason when no interface answers to it.
    static Status Find(const std::string& text, NetInterface& out, std::string& reason);
};
