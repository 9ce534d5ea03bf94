#include "encoder_nodes.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>

#include "v4l2_encoder.h"

std::string FindEncoderNode(uint32_t coded, std::vector<PassedOver>& passed_over) {
    std::vector<int> numbers;
    if (DIR* dev = opendir("/dev")) {
        while (const dirent* entry = readdir(dev)) {
            const std::string name = entry->d_name;
            if (name.size() <= 5 || name.compare(0, 5, "video") != 0 ||
                name.find_first_not_of("0123456789", 5) != std::string::npos)
                continue;
            numbers.push_back(atoi(name.c_str() + 5));
        }
        closedir(dev);
    }
    std::sort(numbers.begin(), numbers.end());
    for (int number : numbers) {
        const std::string path = "/dev/video" + std::to_string(number);
        std::string why;
        if (V4l2Encoder::Probe(path, coded, why) == Status::SUCCESS) return path;
        passed_over.push_back({path, why});
    }
    return "";
}
