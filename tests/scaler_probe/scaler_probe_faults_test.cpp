// The real scaler_probe on faults and bad input: one row per row of the table
// "Faults and bad input" in docs/scaler_probe.md, named alike. A row says what
// the run logs (every error and warning, each as often as it appears), how it
// exits and what each output file holds afterwards.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "probe_run.h"
#include "test_frame.h"

namespace {

const size_t FRAME = 1280 * 720 * 3 / 2;
const uint64_t GIB = uint64_t{1} << 30;
const char* const INPUT = "source_image_720.yuv";

struct Output {
    const char* file;
    size_t bytes;
};
const Output OUTPUTS[] = {{"scaled_1080.yuv", 3110400}, {"scaled_720.yuv", 1382400}, {"scaled_480.yuv", 614880},
                          {"scaled_360.yuv", 345600},   {"scaled_360_dup.yuv", 345600}};
const size_t PASSTHROUGH = 1;  // scaled_720.yuv, the input frame as the probe saw it

// What a run leaves in the place of an output file.
enum class Kept { ABSENT, EMPTY, WHOLE, CUT, FOLDER };
using KeptFiles = std::array<Kept, 5>;
const KeptFiles FIVE_EMPTY{Kept::EMPTY, Kept::EMPTY, Kept::EMPTY, Kept::EMPTY, Kept::EMPTY};
const KeptFiles FIVE_WHOLE{Kept::WHOLE, Kept::WHOLE, Kept::WHOLE, Kept::WHOLE, Kept::WHOLE};
const KeptFiles NONE{Kept::ABSENT, Kept::ABSENT, Kept::ABSENT, Kept::ABSENT, Kept::ABSENT};

// How the probe is started.
enum class Runner {
    ROOT,       // as the test, which is root
    NOBODY,     // as an unprivileged user: root reads and writes everything
    FULL_DISK,  // in a folder on a 6 MiB file system that the outputs fill
};

// In a private mount namespace: the input moves onto a tmpfs mounted over
// the probe's folder, the probe runs there, and what the full disk kept moves
// back into the folder underneath for the test to read.
const char* const FULL_DISK_SCRIPT = R"(set -e
run=$PWD
cp source_image_720.yuv ../disk_input
mount -t tmpfs -o size=6m full_disk "$run"
cd "$run"
cp ../disk_input source_image_720.yuv
set +e
"$@"
status=$?
mkdir ../disk_kept && cp -p scaled_*.yuv ../disk_kept/ && cd .. && umount "$run" &&
  mv disk_kept/* "$run"/ || exit 125
exit $status)";

std::vector<std::string> Wrapper(Runner runner) {
    switch (runner) {
        case Runner::ROOT: return {};
        case Runner::NOBODY: return AsUser(65534);
        case Runner::FULL_DISK: return {"unshare", "--mount", "--propagation", "private", "sh", "-c", FULL_DISK_SCRIPT, "sh"};
    }
    return {};
}

std::string Errno(int error) { return "(" + std::to_string(error) + ") " + strerror(error); }

const std::string SIZE_ERROR = "] ConvertBetweenNV12AndVenusNV12():\n\tUnexpected buffer size. Not large enough\n";
const std::string READ_ERROR = "] main():\n\tUnable to read source_image_720.yuv: ";
const std::string WRITE_FAILED = "] PushBuffer():\n\tm_file_sink.Write(dst_buf.data(), dst_buf.size()) failed with status ";
const std::string PUSH_FAILED = "] main():\n\tscaler.PushBuffer(image_buffer) failed with status ";
const char* const REPORTS[] = {"Scaler Setup:\n", "Scaler Setup with the duplicate 360 output removed:\n",
                               "Scaler Setup with all outputs removed:\n"};

const std::vector<uint8_t>& Frame() {
    static const std::vector<uint8_t> frame = frames::MakeTestFrame(1280, 720);
    return frame;
}

// The first `bytes` of the test frame; past a frame, the frame again.
void InputOf(const ProbeFolder& folder, size_t bytes) {
    std::vector<uint8_t> input;
    while (input.size() < bytes)
        input.insert(input.end(), Frame().begin(), Frame().begin() + std::min(FRAME, bytes - input.size()));
    WriteBytes(folder.File(INPUT), input);
}

// The test frame, then a hole up to `size` bytes: no disk blocks, reads as zeros.
void SparseInput(const ProbeFolder& folder, uint64_t size) {
    InputOf(folder, FRAME);
    // truncate64: this test's own off_t may be 32 bits, as the target's is.
    ASSERT_EQ(truncate64(folder.File(INPUT).c_str(), static_cast<off64_t>(size)), 0) << strerror(errno);
}

struct FaultRow {
    const char* name;  // the table's row name in one word
    std::function<void(const ProbeFolder&)> prepare;
    Runner runner;
    int status;
    // Every error and warning of the run: a fragment of its record and how many records have it.
    std::vector<std::pair<std::string, size_t>> messages;
    KeptFiles kept;
    size_t used;  // bytes of the input that reach the frame; the rest of the frame is zero
};

void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

const std::string STAT_ERROR = "] main():\n\tstat(image_file_path.c_str(), &st): ";

// An input over 2 GiB. A 32-bit off_t (the target's) cannot hold its size:
// stat fails with EOVERFLOW and the probe ends as for a missing input. A
// 64-bit build goes on with the low 32 bits of the size, as `wide` says.
FaultRow OverTwoGiB(const FaultRow& wide) {
    if (sizeof(off_t) > 4) return wide;
    return {wide.name, wide.prepare, wide.runner, 255, {{STAT_ERROR + Errno(EOVERFLOW) + "\n", 1}}, FIVE_EMPTY, 0};
}

const FaultRow FAULT_ROWS[] = {
    {"NoInput", [](const ProbeFolder&) {}, Runner::ROOT, 255, {{STAT_ERROR + Errno(ENOENT) + "\n", 1}}, FIVE_EMPTY, 0},
    {"InputIsAFolder", [](const ProbeFolder& f) { ASSERT_EQ(mkdir(f.File(INPUT).c_str(), 0755), 0); },
     Runner::ROOT, 0, {{READ_ERROR + strerror(EISDIR) + "\n", 1}, {SIZE_ERROR, 1}}, FIVE_WHOLE, 0},
    {"EmptyInput", [](const ProbeFolder& f) { InputOf(f, 0); }, Runner::ROOT, 0, {{SIZE_ERROR, 1}}, FIVE_WHOLE, 0},
    // 390 whole luma rows of 1280 bytes fit in 500000 bytes.
    {"ShortInput", [](const ProbeFolder& f) { InputOf(f, 500000); }, Runner::ROOT, 0, {{SIZE_ERROR, 1}},
     FIVE_WHOLE, 390 * 1280},
    // The last chroma row does not fit: all but its 1280 bytes are used.
    {"OneByteShort", [](const ProbeFolder& f) { InputOf(f, FRAME - 1); }, Runner::ROOT, 0, {{SIZE_ERROR, 1}},
     FIVE_WHOLE, FRAME - 1280},
    {"LongInput", [](const ProbeFolder& f) { InputOf(f, FRAME + 1000); }, Runner::ROOT, 0, {}, FIVE_WHOLE, FRAME},
    // The size's low 32 bits are one frame: the frame is read, the rest never.
    OverTwoGiB({"Over4GiB", [](const ProbeFolder& f) { SparseInput(f, 4 * GIB + FRAME); }, Runner::ROOT, 0, {},
                FIVE_WHOLE, FRAME}),
    // Exactly 4 GiB: the low 32 bits are 0, so it reads as an empty input
    // (sizes between 2 and 4 GiB would have the probe allocate and read them whole).
    OverTwoGiB({"Over2GiB", [](const ProbeFolder& f) { SparseInput(f, 4 * GIB); }, Runner::ROOT, 0,
                {{SIZE_ERROR, 1}}, FIVE_WHOLE, 0}),
    {"UnreadableInput",
     [](const ProbeFolder& f) {
         InputOf(f, FRAME);
         ASSERT_EQ(chmod(f.File(INPUT).c_str(), 0600), 0);
         ASSERT_EQ(chmod(f.Run().c_str(), 0777), 0);
     },
     Runner::NOBODY, 0, {{READ_ERROR + strerror(EACCES) + "\n", 1}}, FIVE_WHOLE, 0},
    {"CurrentFolderNotWritable", [](const ProbeFolder& f) { InputOf(f, FRAME); }, Runner::NOBODY, 0,
     {{"\"w\"): " + Errno(EACCES) + "\n", 5},
      {" is not open; ", 5},
      {WRITE_FAILED + "FAILURE_INVALID_STATE\n", 5},
      {PUSH_FAILED + "FAILURE_INVALID_STATE\n", 1}},
     NONE, FRAME},
    // Largest frames are written first: 1080 and 720 fit, 480 fills the disk.
    {"DiskFull", [](const ProbeFolder& f) { InputOf(f, FRAME); }, Runner::FULL_DISK, 0,
     {{"bytes): " + Errno(ENOSPC) + "\n", 3},
      {WRITE_FAILED + "FAILURE_SYSCALL\n", 3},
      {PUSH_FAILED + "FAILURE_SYSCALL\n", 1}},
     {Kept::WHOLE, Kept::WHOLE, Kept::CUT, Kept::EMPTY, Kept::EMPTY}, FRAME},
    {"OutputNameTakenByAFolder",
     [](const ProbeFolder& f) {
         InputOf(f, FRAME);
         ASSERT_EQ(mkdir(f.File("scaled_480.yuv").c_str(), 0755), 0);
     },
     Runner::ROOT, 0,
     {{"LocalFileSink: open(scaled_480.yuv, \"w\"): " + Errno(EISDIR) + "\n", 1},
      {"LocalFileSink: scaled_480.yuv is not open; 614880 bytes dropped\n", 1},
      {WRITE_FAILED + "FAILURE_INVALID_STATE\n", 1},
      {PUSH_FAILED + "FAILURE_INVALID_STATE\n", 1}},
     {Kept::WHOLE, Kept::WHOLE, Kept::FOLDER, Kept::WHOLE, Kept::WHOLE}, FRAME},
};

// Records of the error, warning and fatal levels.
size_t Complaints(const std::string& log) {
    return CountOf(log, " E scaler_probe: ") + CountOf(log, " W scaler_probe: ") + CountOf(log, " F scaler_probe: ");
}

// The five outputs of a run on the whole test frame, made once.
const std::vector<std::vector<uint8_t>>& ExactOutputs() {
    static const std::vector<std::vector<uint8_t>> outputs = [] {
        ProbeFolder folder;
        InputOf(folder, FRAME);
        const ProbeRun run = folder.Probe();
        EXPECT_EQ(run.status, 0) << "the run on the whole frame failed:\n" << run.err;
        std::vector<std::vector<uint8_t>> files;
        for (const Output& o : OUTPUTS) files.push_back(ReadBytes(folder.File(o.file)));
        return files;
    }();
    return outputs;
}

bool AllZero(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// A whole output: the exact run's when the whole frame was used, zeros when
// none of it was; a passthrough shows the part used, then zeros.
void ExpectWhole(const std::vector<uint8_t>& bytes, size_t index, size_t used) {
    const Output& o = OUTPUTS[index];
    ASSERT_EQ(bytes.size(), o.bytes) << o.file;
    if (used == FRAME) {
        EXPECT_TRUE(bytes == ExactOutputs()[index]) << o.file << " differs from the run on the whole frame";
    } else if (used == 0) {
        EXPECT_TRUE(AllZero(bytes)) << o.file << " is not all zero";
    } else if (index == PASSTHROUGH) {
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + used, Frame().begin())) << o.file;
        EXPECT_TRUE(AllZero({bytes.begin() + used, bytes.end()})) << o.file << ": not zero after the part used";
    }
}

class ScalerProbeFault : public ::testing::TestWithParam<FaultRow> {};

}  // namespace

TEST_P(ScalerProbeFault, LogsExitsAndKeepsWhatItsRowSays) {
    const FaultRow& row = GetParam();
    if (row.runner != Runner::ROOT) {
        ASSERT_EQ(geteuid(), 0u) << row.name << " needs root to change user or mount";
    }
    ProbeFolder folder;
    ASSERT_TRUE(folder.Ok()) << "cannot make a temporary folder";
    if (row.runner == Runner::NOBODY) {
        ASSERT_EQ(chmod(folder.Root().c_str(), 0711), 0);
    }
    row.prepare(folder);
    if (HasFatalFailure()) return;

    const ProbeRun run = folder.Probe({}, Wrapper(row.runner));
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_EQ(run.out, "");
    size_t expected = 0;
    for (const auto& [fragment, count] : row.messages) {
        EXPECT_EQ(CountOf(run.err, fragment), count) << "\"" << fragment << "\" in\n" << run.err;
        expected += count;
    }
    EXPECT_EQ(Complaints(run.err), expected) << "errors and warnings other than the row's in\n" << run.err;
    for (const char* report : REPORTS)
        EXPECT_EQ(CountOf(run.err, report), row.status == 0 ? 1u : 0u) << report << "in\n" << run.err;

    for (size_t i = 0; i < row.kept.size(); ++i) {
        const Output& o = OUTPUTS[i];
        const std::string path = folder.File(o.file);
        struct stat st {};
        const bool exists = lstat(path.c_str(), &st) == 0;
        const auto bytes = exists && S_ISREG(st.st_mode) ? ReadBytes(path) : std::vector<uint8_t>();
        switch (row.kept[i]) {
            case Kept::ABSENT: EXPECT_FALSE(exists) << o.file << " was made"; break;
            case Kept::EMPTY: EXPECT_TRUE(exists && S_ISREG(st.st_mode) && st.st_size == 0) << o.file; break;
            case Kept::FOLDER: EXPECT_TRUE(exists && S_ISDIR(st.st_mode)) << o.file << " is no folder any more"; break;
            case Kept::WHOLE: ExpectWhole(bytes, i, row.used); break;
            case Kept::CUT:
                ASSERT_EQ(ExactOutputs()[i].size(), o.bytes);
                EXPECT_TRUE(!bytes.empty() && bytes.size() < o.bytes) << o.file << ": " << bytes.size() << " bytes";
                EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), ExactOutputs()[i].begin()))
                    << o.file << " is not the start of the frame";
                break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ScalerProbeFault, ::testing::ValuesIn(FAULT_ROWS));
