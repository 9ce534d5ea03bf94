// Pacing and delay of the datagram sender on loopback, against the same
// sender unpaced (every frame leaves in one burst), in the same run.
//
// A stand-in source publishes a 720p30 4 Mbit/s stream of numbered TS
// packets from the select loop, with frame sizes drawn from one of two
// models: "capped" (a rate control that bounds every frame near the mean,
// as a one-frame VBV does) and "keyframes" (a key frame of 3x the mean every
// second). A receiver takes kernel arrival stamps (SO_TIMESTAMPNS).
//
// Counters:
//   peak_ratio    most bytes arriving in any 10 ms window / the mean per 10 ms
//   peak_vs_peer  peak_ratio / the unpaced sender's peak_ratio
//   p50_ms p99_ms frame made -> its last datagram sent
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "av_component.h"
#include "log.h"
#include "options.h"
#include "socket_network_datagram_out.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t BIT_RATE = 4000000;
constexpr int FPS = 30;
constexpr size_t PACKET = 188;
constexpr auto RUN = std::chrono::seconds(4);

enum class Model { CAPPED, KEYFRAMES };

class TimedSource : public AVComponent {
public:
    TimedSource(Model model) : AVComponent("src0"), m_model(model), m_random(7) {
        m_output = AddOutput("high_res");
    }
    Status SetupIOEvents(IOEventData& data) override {
        data.AddTimeout(m_next, [this] { EmitIfDue(); });
        return Status::SUCCESS;
    }
    // Frames are due by the clock whether or not select timed out.
    Status HandleIOEvents(IOEventData&) override {
        EmitIfDue();
        return Status::SUCCESS;
    }
    void Start() { m_next = Clock::now(); }

private:
    size_t FramePackets() {
        // Rate control keeps the mean at the nominal rate.
        const double mean = BIT_RATE / 8.0 / FPS;
        const bool key = m_frame % FPS == 0;
        const double key_size = m_model == Model::CAPPED ? 1.1 : 3.0;
        const double others = (FPS - key_size) / (FPS - 1);
        std::uniform_real_distribution<double> spread(others - 0.15, others + 0.15);
        const double bytes = mean * (key ? key_size : spread(m_random));
        return static_cast<size_t>(bytes / PACKET) + 1;
    }
    void EmitIfDue() {
        const auto now = Clock::now();
        if (now < m_next) return;
        m_next += std::chrono::microseconds(1000000 / FPS);
        const size_t packets = FramePackets();
        auto bytes = std::make_shared<std::vector<uint8_t>>(packets * PACKET, 0xff);
        for (size_t i = 0; i < packets; ++i) (*bytes)[i * PACKET] = 0x47;
        MediaChunk chunk;
        chunk.bytes = std::move(bytes);
        chunk.created = now;
        chunk.frame_number = m_frame++;
        chunk.frame_interval = std::chrono::microseconds(1000000 / FPS);
        chunk.bit_rate = BIT_RATE;
        m_output->Publish(chunk);
    }

    Model m_model;
    std::mt19937 m_random;
    std::shared_ptr<ComponentOutput> m_output;
    Clock::time_point m_next;
    uint64_t m_frame = 0;
};

class StampingReceiver {
public:
    StampingReceiver() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        const int size = 8 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) < 0)
            throw std::runtime_error(std::string("bind: ") + strerror(errno));
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~StampingReceiver() { close(m_fd); }
    void Drain() {
        for (;;) {
            char data[70000];
            char control[256];
            iovec piece{data, sizeof data};
            msghdr message{};
            message.msg_iov = &piece;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t got = recvmsg(m_fd, &message, 0);
            if (got < 0) return;
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
                 header = CMSG_NXTHDR(&message, header))
                if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp;
                    memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
                    arrivals.push_back({stamp.tv_sec * 1000000000LL + stamp.tv_nsec, static_cast<size_t>(got)});
                }
        }
    }
    int Fd() const { return m_fd; }
    int port = 0;
    std::vector<std::pair<int64_t, size_t>> arrivals;  // ns, bytes

private:
    int m_fd;
};

// Most bytes in any 10 ms window over the mean bytes per 10 ms.
double PeakRatio(const std::vector<std::pair<int64_t, size_t>>& arrivals) {
    if (arrivals.size() < 2) return 0;
    constexpr int64_t WINDOW = 10000000;
    size_t total = 0, peak = 0, in_window = 0;
    for (size_t first = 0, last = 0; first < arrivals.size(); ++first) {
        while (last < arrivals.size() && arrivals[last].first < arrivals[first].first + WINDOW)
            in_window += arrivals[last++].second;
        peak = std::max(peak, in_window);
        in_window -= arrivals[first].second;
        total += arrivals[first].second;
    }
    const double span = static_cast<double>(arrivals.back().first - arrivals.front().first);
    return peak / (total * WINDOW / span);
}

double Percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(q * (values.size() - 1) + 0.5)];
}

struct Outcome {
    double peak_ratio;
    double p50_ms;
    double p99_ms;
};

Outcome RunStream(Model model, bool paced) {
    // LUMASET_OPTIONS may adjust the sender (netout0.pace_factor=...).
    Options::GetOptions().Initialize(0, nullptr, "");
    Options::GetOptions().Set("netout0.paced", paced ? "1" : "0");
    StampingReceiver receiver;
    auto source = std::make_shared<TimedSource>(model);
    auto sender = std::make_shared<SocketNetworkDatagramOut>("netout0", "127.0.0.1", receiver.port, 1316);
    std::vector<double> latencies;
    sender->SetSendObserver([&](const SocketNetworkDatagramOut::DatagramSent& sent) {
        for (const auto& frame : sent.frames_ended)
            latencies.push_back(std::chrono::duration<double, std::milli>(sent.when - frame.created).count());
    });
    if (sender->Connect(source, "high_res") != Status::SUCCESS || sender->SetEnabled(true) != Status::SUCCESS)
        throw std::runtime_error("sender did not start");
    source->Start();
    const auto end = Clock::now() + RUN;
    while (Clock::now() < end) {
        IOEventData data;
        source->SetupIOEvents(data);
        sender->SetupIOEvents(data);
        data.AddReadFd(receiver.Fd());
        timeval timeout = data.GetTimeout();
        const int ready = select(data.GetFdMax() + 1, data.GetFdsRead(), data.GetFdsWrite(),
                                 data.GetFdsError(), data.HasTimeout() ? &timeout : nullptr);
        if (ready == 0) {
            data.HandleTimeout();
        } else if (ready > 0) {
            source->HandleIOEvents(data);
            sender->HandleIOEvents(data);
        }
        receiver.Drain();
    }
    sender->SetEnabled(false);
    receiver.Drain();
    return {PeakRatio(receiver.arrivals), Percentile(latencies, 0.5), Percentile(latencies, 0.99)};
}

void BM_SenderPacing(benchmark::State& state) {
    Log::Instance().SetLevel(Log::Level::WARN);
    const Model model = state.range(0) == 0 ? Model::CAPPED : Model::KEYFRAMES;
    Outcome paced{}, peer{};
    for (auto _ : state) {
        peer = RunStream(model, false);
        paced = RunStream(model, true);
    }
    state.counters["peak_ratio"] = paced.peak_ratio;
    state.counters["peer_peak_ratio"] = peer.peak_ratio;
    state.counters["peak_vs_peer"] = paced.peak_ratio / peer.peak_ratio;
    state.counters["p50_ms"] = paced.p50_ms;
    state.counters["p99_ms"] = paced.p99_ms;
    state.counters["peer_p99_ms"] = peer.p99_ms;
    state.SetLabel(model == Model::CAPPED ? "capped frames" : "3x key frames");
}
BENCHMARK(BM_SenderPacing)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
