// Turns raw NV12 frames into PNG: one frame, or a labelled contact sheet.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "contact_sheet.h"
#include "image.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "Usage:\n"
                 "  nv12_to_png WIDTHxHEIGHT INPUT.yuv OUTPUT.png\n"
                 "      the first frame of INPUT as a PNG\n"
                 "  nv12_to_png --sheet OUTPUT.png FILE:WIDTHxHEIGHT[:LABEL]...\n"
                 "      a contact sheet, one labelled tile per file\n");
    return 2;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "nv12_to_png: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (argc >= 4 && std::strcmp(argv[1], "--sheet") == 0) {
        std::vector<frames::SheetEntry> entries;
        for (int i = 3; i < argc; ++i) {
            frames::SheetEntry entry;
            if (!frames::ParseSheetEntry(argv[i], entry)) return Usage();
            entries.push_back(entry);
        }
        frames::Image sheet;
        if (!frames::MakeContactSheet(entries, sheet, error)) return Fail(error);
        if (!frames::WritePng(sheet, argv[2], error)) return Fail(error);
        return 0;
    }
    if (argc != 4) return Usage();

    frames::SheetEntry entry;
    if (!frames::ParseSheetEntry(std::string(argv[2]) + ":" + argv[1], entry)) return Usage();
    std::vector<uint8_t> bytes;
    if (!frames::ReadFile(entry.path, bytes)) return Fail("cannot read " + entry.path);
    const frames::Image image = frames::ImageFromNV12(bytes.data(), bytes.size(), entry.width,
                                                      entry.height);
    if (image.width == 0)
        return Fail(entry.path + " holds " + std::to_string(bytes.size()) +
                    " bytes, less than one frame");
    if (!frames::WritePng(image, argv[3], error)) return Fail(error);
    return 0;
}
