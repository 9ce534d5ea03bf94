#include "contact_sheet.h"

#include <cstdio>

#include "label.h"

namespace frames {
namespace {

const int TILE_WIDTH = 640;
const int TILE_HEIGHT = 360;
const int LABEL_HEIGHT = 30;
const int MARGIN = 12;
const int COLUMNS = 3;
const uint32_t BACKGROUND = 0xff202020u;
const uint32_t EMPTY_TILE = 0xff505050u;
const uint32_t TEXT = 0xffffffffu;
const uint32_t WARNING_TEXT = 0xffff7060u;

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool ParseSheetEntry(const std::string& text, SheetEntry& entry) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    entry.path = text.substr(0, colon);
    const std::string rest = text.substr(colon + 1);
    const size_t second = rest.find(':');
    entry.label = second == std::string::npos ? "" : rest.substr(second + 1);
    char tail = 0;
    return std::sscanf(rest.substr(0, second).c_str(), "%dx%d%c", &entry.width, &entry.height,
                       &tail) == 2 &&
           entry.width > 0 && entry.height > 0 && !entry.path.empty();
}

bool MakeContactSheet(const std::vector<SheetEntry>& entries, Image& sheet, std::string& error) {
    const int count = static_cast<int>(entries.size());
    const int columns = count < COLUMNS ? count : COLUMNS;
    const int rows = (count + COLUMNS - 1) / COLUMNS;
    sheet = Image(MARGIN + columns * (TILE_WIDTH + MARGIN),
                  MARGIN + rows * (LABEL_HEIGHT + TILE_HEIGHT + MARGIN), BACKGROUND);

    for (int i = 0; i < count; ++i) {
        const SheetEntry& entry = entries[static_cast<size_t>(i)];
        const int x = MARGIN + (i % COLUMNS) * (TILE_WIDTH + MARGIN);
        const int y = MARGIN + (i / COLUMNS) * (LABEL_HEIGHT + TILE_HEIGHT + MARGIN);

        const size_t frame_size = static_cast<size_t>(entry.width) * entry.height +
                                  static_cast<size_t>(entry.width) * (entry.height / 2);
        std::vector<uint8_t> bytes;
        std::string problem;
        if (!ReadFile(entry.path, bytes))
            problem = "missing";
        else if (bytes.empty())
            problem = "empty";
        else if (bytes.size() < frame_size)
            problem = std::to_string(bytes.size()) + " of " + std::to_string(frame_size) + " bytes";
        else if (bytes.size() % frame_size != 0 || bytes.size() > frame_size)
            problem = std::to_string(bytes.size()) + " bytes, " +
                      std::to_string(bytes.size() / frame_size) + " frames";

        std::string label = entry.label.empty() ? BaseName(entry.path) : entry.label;
        label += "  " + std::to_string(entry.width) + "x" + std::to_string(entry.height);
        if (!problem.empty()) label += "  (" + problem + ")";
        const bool whole = bytes.size() >= frame_size;
        if (!DrawLabel(sheet, x + 2, y + 4, 20, label, whole ? TEXT : WARNING_TEXT, error))
            return false;

        Image tile(TILE_WIDTH, TILE_HEIGHT, EMPTY_TILE);
        if (whole) {
            const Image fitted = FitInside(
                ImageFromNV12(bytes.data(), bytes.size(), entry.width, entry.height), TILE_WIDTH,
                TILE_HEIGHT);
            Blit(fitted, tile, (TILE_WIDTH - fitted.width) / 2, (TILE_HEIGHT - fitted.height) / 2);
        }
        Blit(tile, sheet, x, y + LABEL_HEIGHT);
    }
    return true;
}

}  // namespace frames
