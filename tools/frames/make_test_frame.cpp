// Writes the deterministic NV12 test frame to a file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "test_frame.h"

int main(int argc, char** argv) {
    int width = 1280, height = 720;
    const char* output = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2) output = nullptr;
        } else if (argv[i][0] != '-' && !output) {
            output = argv[i];
        } else {
            output = nullptr;
            break;
        }
    }
    if (!output) {
        std::fprintf(stderr, "Usage: make_test_frame [-s WIDTHxHEIGHT] OUTPUT.yuv\n"
                             "Writes one raw NV12 test frame, 1280x720 unless -s says otherwise.\n");
        return 2;
    }
    const auto frame = frames::MakeTestFrame(width, height);
    if (frame.empty()) {
        std::fprintf(stderr, "make_test_frame: %dx%d is not a size (positive, even)\n", width,
                     height);
        return 2;
    }
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "make_test_frame: cannot write %s: %s\n", output, std::strerror(errno));
        return 1;
    }
    return 0;
}
