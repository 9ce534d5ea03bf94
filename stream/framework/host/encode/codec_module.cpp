#include "codec_module.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "log.h"

namespace {

constexpr const char* MODULE_NAME = "liblumaset_codecs.so";

// The folder this library was loaded from: the module is installed beside it.
std::string OwnFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&CreateTsMuxer), &info) == 0 || info.dli_fname == nullptr) return ".";
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Loaded once, kept for the life of the process.
const CodecModuleEntry* Entry() {
    static const CodecModuleEntry* entry = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string path = OwnFolder() + "/" + MODULE_NAME;
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            Log::Instance().Errorf("encoder: cannot load the codec module: %s", dlerror());
            return;
        }
        const auto get = reinterpret_cast<const CodecModuleEntry* (*)()>(dlsym(module, LUMASET_CODEC_MODULE_ENTRY));
        const CodecModuleEntry* found = get ? get() : nullptr;
        if (found == nullptr || found->version != CodecModuleEntry::VERSION) {
            Log::Instance().Errorf("encoder: %s is not a codec module of this library (version %u, wanted %u)",
                                   path.c_str(), found ? found->version : 0u, CodecModuleEntry::VERSION);
            return;
        }
        entry = found;
    });
    return entry;
}

}  // namespace

std::unique_ptr<H264Encoder> CreateH264Encoder() {
    const CodecModuleEntry* entry = Entry();
    return std::unique_ptr<H264Encoder>(entry ? entry->create_h264_encoder() : nullptr);
}

std::unique_ptr<TsMuxer> CreateTsMuxer() {
    const CodecModuleEntry* entry = Entry();
    return std::unique_ptr<TsMuxer>(entry ? entry->create_ts_muxer() : nullptr);
}
