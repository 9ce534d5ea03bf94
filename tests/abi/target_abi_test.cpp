// The ABI the build is for, held on the binaries themselves: on the 32-bit ARM
// build what the appliance runs (ELF32, EABI5, hard float, gettid 224, 32-bit
// off_t and time_t), on the host build the host's.
#include <gtest/gtest.h>

#include <elf.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "command.h"
#include "diagnostics.h"
#include "log_capture.h"
#include "timebase.h"

namespace {

struct Target {
    unsigned char elf_class;
    Elf32_Half machine;
    uint32_t flags;  // e_flags bits that must be set
    long gettid;     // the system call number
    size_t off_t_bytes, time_t_bytes;
};

#if defined(__arm__)
constexpr Target TARGET{ELFCLASS32, EM_ARM, EF_ARM_EABI_VER5 | EF_ARM_ABI_FLOAT_HARD, 224, 4, 4};
#elif defined(__x86_64__)
constexpr Target TARGET{ELFCLASS64, EM_X86_64, 0, 186, 8, 8};
#elif defined(__aarch64__)
constexpr Target TARGET{ELFCLASS64, EM_AARCH64, 0, 178, 8, 8};
#endif

// The ELF header's class, machine and flags (read as the ELF32 layout up to
// e_machine, which both classes share; e_flags sits where the class puts it).
struct ElfFacts {
    unsigned char elf_class = 0;
    Elf32_Half machine = 0;
    uint32_t flags = 0;
};

ElfFacts ReadElf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr header64{};
    file.read(reinterpret_cast<char*>(&header64), sizeof(header64));
    ElfFacts facts;
    if (!file || std::string(reinterpret_cast<char*>(header64.e_ident), SELFMAG) != ELFMAG) return facts;
    facts.elf_class = header64.e_ident[EI_CLASS];
    facts.machine = header64.e_machine;
    if (facts.elf_class == ELFCLASS32) {
        Elf32_Ehdr header32{};
        std::memcpy(&header32, &header64, sizeof(header32));
        facts.flags = header32.e_flags;
    } else {
        facts.flags = header64.e_flags;
    }
    return facts;
}

class BuiltBinary : public testing::TestWithParam<const char*> {};

TEST_P(BuiltBinary, IsForTheTarget) {
    const std::string path = std::string(LUMASET_BUILD_DIR) + "/" + GetParam();
    const ElfFacts facts = ReadElf(path);
    EXPECT_EQ(facts.elf_class, TARGET.elf_class) << path;
    EXPECT_EQ(facts.machine, TARGET.machine) << path;
    EXPECT_EQ(facts.flags & TARGET.flags, TARGET.flags) << path << ": e_flags 0x" << std::hex << facts.flags;
}

INSTANTIATE_TEST_SUITE_P(Build, BuiltBinary,
                         testing::Values("bin/overload_monitor", "bin/scaler_probe", "bin/netout_probe",
                                         "bin/gpio_sim", "bin/make_test_frame", "bin/nv12_to_png",
                                         "lib/liblumaset.so.1", "lib/liblumaset_codecs.so"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = std::strrchr(info.param, '/') + 1;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(TargetAbi, TypesHaveTheTargetsSizes) {
    // Values and layouts that cross process boundaries, and the target's own types.
    EXPECT_EQ(sizeof(Command::Type), 4u);
    EXPECT_EQ(sizeof(TimeBase::numerator), 8u);
    EXPECT_EQ(sizeof(TimeBase::denominator), 8u);
    EXPECT_EQ(sizeof(off_t), TARGET.off_t_bytes);
    EXPECT_EQ(sizeof(time_t), TARGET.time_t_bytes);
}

TEST(TargetAbi, ADiagnosticsThreadIdIsTheKernelsFromTheTargetsGettid) {
    LogCapture capture;
    long kernel_tid = 0;
    std::thread worker([&] {
        kernel_tid = syscall(TARGET.gettid);
        DIAG_MESSAGE("from a worker thread");
    });
    worker.join();
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    std::smatch id;
    ASSERT_TRUE(std::regex_search(records[0].text, id, std::regex(R"(^\((\d+)\))"))) << records[0].text;
    EXPECT_EQ(std::stol(id[1]), kernel_tid);
    EXPECT_NE(kernel_tid, static_cast<long>(getpid()));
}

}  // namespace
