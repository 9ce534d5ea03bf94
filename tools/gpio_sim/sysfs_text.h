#pragma once

#include <string>

// The kernel's rules for the text written to sysfs attributes.

// kstrtol: the whole text is one integer (base 0: decimal, 0x hex or 0 octal),
// optionally followed by a single newline; no leading blanks.
bool ParseSysfsLong(const std::string& text, long* value);

// sysfs_streq: equal, ignoring one trailing newline on either side.
bool SysfsEquals(const std::string& text, const char* word);
