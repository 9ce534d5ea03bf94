#pragma once

#include <string>
#include <vector>

#include "image.h"

namespace frames {

struct SheetEntry {
    std::string path;
    int width = 0;
    int height = 0;
    std::string label;  // empty: the file name
};

// "path:WIDTHxHEIGHT[:label]"; false when the text does not have that form.
bool ParseSheetEntry(const std::string& text, SheetEntry& entry);

// One tile per entry, three to a row, each under a label with the file name,
// the frame size and what is wrong with the file, if anything (missing,
// empty, too short for one frame). A file's first frame is shown, fitted
// into the tile.
bool MakeContactSheet(const std::vector<SheetEntry>& entries, Image& sheet, std::string& error);

}  // namespace frames
