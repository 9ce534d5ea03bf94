#include "socket_network_datagram_out.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>
#include <vector>

#include "log.h"
#include "options.h"
#include "packet_queue.h"
#include "send_pacer.h"
#include "send_route.h"
#include "send_statistics.h"
#include "udp_destination.h"
#include "udp_socket.h"

namespace {
constexpr int MTU = 1500;
constexpr auto NOBUFS_RETRY = std::chrono::milliseconds(1);
// How long disabling may wait for the socket to take what is still queued.
constexpr auto FLUSH_LIMIT = std::chrono::milliseconds(250);
constexpr auto IDLE_WAKE = std::chrono::seconds(1);
// Frames queued longer are dropped: after a stall the receiver is at most
// this far behind, not the seconds the byte bound holds.
constexpr auto MAX_QUEUED = std::chrono::milliseconds(500);
}  // namespace

// Everything that exists only while the component is enabled.
class SocketNetworkDatagramOut::Sender {
public:
    Sender(const std::string& name, const UdpDestination& destination, size_t datagram_bytes,
           size_t queue_bytes, const SendPacer::Settings& pacing, Clock::duration report_period,
           const SendObserver& observer)
        : m_name(name), m_destination(destination), m_datagram_bytes(datagram_bytes),
          m_queue(queue_bytes), m_pacer(pacing), m_statistics(name, report_period),
          m_observer(observer) {}

    Status Open(const SendRoute& route) { return m_socket.Open(m_destination, route); }
    int GetFd() const { return m_socket.GetFd(); }
    size_t GetQueuedBytes() const { return m_queue.GetBytes(); }
    SendStatistics& Statistics() { return m_statistics; }
    void Report(const char* when) const { m_statistics.Report(when, m_queue.GetBytes(), m_pacer.GetMeanRate()); }

    void Receive(const MediaChunk& chunk) {
        const auto now = Clock::now();
        if (chunk.bytes && !chunk.bytes->empty() && !m_misaligned_warned &&
            (chunk.bytes->size() % TS_PACKET_SIZE != 0 || chunk.bytes->front() != 0x47)) {
            Log::Instance().Warnf("%s: input chunk of %zu bytes is not whole TS packets; datagrams "
                                  "will not start at packet boundaries",
                                  m_name.c_str(), chunk.bytes->size());
            m_misaligned_warned = true;
        }
        if (chunk.bytes)
            Log::Instance().Debugf("%s: frame %llu: %zu bytes in, %.3f ms after it was made",
                                   m_name.c_str(), static_cast<unsigned long long>(chunk.frame_number),
                                   chunk.bytes->size(),
                                   std::chrono::duration<double, std::milli>(now - chunk.created).count());
        m_pacer.NoteInput(chunk, now);
        m_statistics.Dropped(m_queue.Push(chunk, now), now);
        Pump();
    }

    void Setup(IOEventData& data) {
        const auto now = Clock::now();
        m_statistics.MaybeReport(now, m_queue.GetBytes(), m_pacer.GetMeanRate());
        // Wake at least this often: the counters line stays on time while nothing is sent,
        // and a loop with nothing else to wait for (its source failed) still sees its clock.
        data.AddTimeout(IDLE_WAKE, nullptr);
        if (NextDatagram() == 0) return;
        if (m_blocked) {
            data.AddWriteFd(GetFd());
        } else if (m_retry_at > now) {
            data.AddTimeout(m_retry_at, [this] { Pump(); });
        } else {
            const auto when = m_pacer.WhenRoom(TS_PACKET_SIZE, m_queue.GetBytes(), now);
            if (when <= now)
                data.AddWriteFd(GetFd());
            else
                data.AddTimeout(when, [this] { Pump(); });
        }
    }

    void Handle(IOEventData& data) {
        if (m_blocked && !data.IsWriteReady(GetFd())) return;
        m_blocked = false;
        Pump();
    }

    // Sends what the pacing allows now.
    void Pump() {
        CollectErrors();
        auto now = Clock::now();
        m_statistics.Aged(m_queue.DropQueuedBefore(now - MAX_QUEUED), now);
        if (m_blocked || m_retry_at > now) return;
        for (;;) {
            const size_t room = m_pacer.GetRoom(m_queue.GetBytes(), Clock::now());
            const size_t size = std::min(NextDatagram(), room - room % TS_PACKET_SIZE);
            if (size == 0) return;
            const int failure = SendNext(size);
            if (failure == ENOBUFS) {
                m_retry_at = Clock::now() + NOBUFS_RETRY;
                return;
            }
            if (failure != 0) {
                m_blocked = true;
                return;
            }
        }
    }

    // Sends everything still queued, so the stream does not end in the middle of a frame: paced
    // when the pacing lets it all go within the limit (the end of a stream is no burst), at once
    // otherwise. Waits for room in the socket until the limit, then discards the rest.
    // Returns the packets discarded.
    uint64_t Flush(Clock::duration limit) {
        const auto deadline = Clock::now() + limit;
        const bool paced = m_pacer.DrainTime(m_queue.GetBytes(), Clock::now()) < limit;
        for (size_t size = NextDatagram(); size > 0; size = NextDatagram()) {
            if (paced) {
                const auto now = Clock::now();
                const size_t room = m_pacer.GetRoom(m_queue.GetBytes(), now);
                size = std::min(size, room - room % TS_PACKET_SIZE);
                if (size == 0) {
                    std::this_thread::sleep_until(
                        std::min(deadline, m_pacer.WhenRoom(TS_PACKET_SIZE, m_queue.GetBytes(), now)));
                    if (Clock::now() >= deadline) break;
                    continue;
                }
            }
            if (SendNext(size) == 0) continue;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd entry{GetFd(), POLLOUT, 0};
            // ENOBUFS leaves the socket writable: the short wait keeps this from spinning.
            poll(&entry, 1, static_cast<int>(std::min<int64_t>(left.count(), 5)));
        }
        CollectErrors();
        return m_queue.Clear();
    }

private:
    // Whole packets, at most the maximum size; the pacing may cut it shorter.
    size_t NextDatagram() const { return std::min(m_datagram_bytes, m_queue.GetWholePacketBytes()); }

    // Sends the next `size` queued bytes as one datagram. Returns EAGAIN/EWOULDBLOCK or ENOBUFS
    // when it could not leave yet (it stays queued), otherwise 0: any other failure is counted
    // and the datagram given up, so one bad send cannot stall the stream.
    int SendNext(size_t size) {
        m_queue.Gather(size, m_pieces);
        int failure = m_socket.Send(m_destination, m_pieces.data(), m_pieces.size());
        if (failure == ECONNREFUSED) {
            // An earlier datagram's refusal, reported on this send: this one never left.
            CollectErrors();
            failure = m_socket.Send(m_destination, m_pieces.data(), m_pieces.size());
        }
        const auto now = Clock::now();
        if (failure == EAGAIN || failure == EWOULDBLOCK || failure == ENOBUFS) return failure;
        if (failure != 0)
            m_statistics.Failed(failure, m_destination.text, now);
        else
            m_pacer.NoteSent(size, now);
        m_done.clear();
        m_queue.Consume(size, m_done);
        if (failure == 0) Sent(size, now);
        return 0;
    }

    void Sent(size_t size, Clock::time_point now) {
        m_statistics.Sent(size, now);
        for (const auto& frame : m_done) m_statistics.FrameSent(frame.frame_number, now - frame.created);
        if (m_observer) {
            DatagramSent sent;
            sent.when = now;
            sent.bytes = size;
            for (const auto& frame : m_done) sent.frames_ended.push_back({frame.frame_number, frame.created});
            m_observer(sent);
        }
    }

    void CollectErrors() {
        UdpSocket::Errors errors;
        m_socket.DrainErrors(errors);
        const auto now = Clock::now();
        if (errors.refused) m_statistics.Refused(errors.refused, m_destination.text, now);
        if (errors.other) m_statistics.Failed(errors.last_other, m_destination.text, now, errors.other);
    }

    std::string m_name;
    UdpDestination m_destination;
    size_t m_datagram_bytes;
    UdpSocket m_socket;
    PacketQueue m_queue;
    SendPacer m_pacer;
    SendStatistics m_statistics;
    const SendObserver& m_observer;
    std::vector<iovec> m_pieces;
    std::vector<PacketQueue::FrameDone> m_done;
    bool m_blocked = false;  // the socket said EAGAIN: wait until it is writable
    Clock::time_point m_retry_at;
    bool m_misaligned_warned = false;
};

SocketNetworkDatagramOut::SocketNetworkDatagramOut(const std::string& name, std::string address,
                                                   int port, int max_message_size)
    : AVComponent(name), m_address(std::move(address)), m_port(port),
      m_max_message_size(max_message_size) {}

SocketNetworkDatagramOut::~SocketNetworkDatagramOut() = default;

Status SocketNetworkDatagramOut::OnEnable() {
    const char* name = GetName().c_str();
    UdpDestination destination;
    std::string reason;
    if (UdpDestination::Parse(m_address, m_port, destination, reason) != Status::SUCCESS) {
        Log::Instance().Errorf("%s: cannot enable: %s", name, reason.c_str());
        return Status::FAILURE_INVALID;
    }
    const int largest = MaxUdpPayload(destination.family);
    if (m_max_message_size < TS_PACKET_SIZE || m_max_message_size > largest) {
        Log::Instance().Errorf("%s: cannot enable: maximum message size %d is outside %d..%d (one "
                               "%d-byte TS packet up to the largest UDP datagram)",
                               name, m_max_message_size, TS_PACKET_SIZE, largest, TS_PACKET_SIZE);
        return Status::FAILURE_INVALID;
    }
    const size_t datagram_bytes = m_max_message_size - m_max_message_size % TS_PACKET_SIZE;

    const Options& options = Options::GetOptions();
    SendRoute route;
    if (SendRoute::Read(options, GetName(), destination, route, reason) != Status::SUCCESS) {
        Log::Instance().Errorf("%s: cannot enable: %s", name, reason.c_str());
        return Status::FAILURE_INVALID;
    }
    SendPacer::Settings pacing;
    pacing.factor = options.GetDouble(OptionKey("pace_factor"), pacing.factor);
    pacing.window = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(options.GetDouble(OptionKey("pace_window_ms"), 10.5)));
    pacing.max_bytes_per_second = options.GetInt(OptionKey("max_bitrate"), 0) / 8;
    pacing.paced = options.GetBool(OptionKey("paced"), true);
    if (pacing.factor <= 0 || pacing.window <= Clock::duration::zero()) {
        Log::Instance().Errorf("%s: cannot enable: pace_factor and pace_window_ms must be positive",
                               name);
        return Status::FAILURE_INVALID;
    }
    // The allowance is pace_factor means per 10 ms in every window: over a
    // longer window it may be less than the stream, whose queue would fill
    // and drop for the whole run.
    const double window_ms = std::chrono::duration<double, std::milli>(pacing.window).count();
    const double carried = pacing.factor * 10.0 / window_ms;
    if (pacing.paced && carried < 1.0) {
        Log::Instance().Errorf(
            "%s: cannot enable: pace_factor %.2f in a pace_window_ms of %.1f lets %.2f of the "
            "stream through; the window needs a pace_factor above %.2f",
            name, pacing.factor, window_ms, carried, window_ms / 10.0);
        return Status::FAILURE_INVALID;
    }
    // The queue holds at least one full datagram.
    const auto queue_bytes = std::max<int64_t>(options.GetInt(OptionKey("queue_bytes"), 1 << 20),
                                               static_cast<int64_t>(datagram_bytes));
    const auto report = std::chrono::seconds(std::max<int64_t>(1, options.GetInt(OptionKey("report_seconds"), 5)));

    auto sender = std::make_unique<Sender>(GetName(), destination, datagram_bytes, queue_bytes,
                                           pacing, report, m_observer);
    if (sender->Open(route) != Status::SUCCESS) return Status::FAILURE_SYSCALL;
    if (sender->GetFd() >= FD_SETSIZE) {
        Log::Instance().Errorf("%s: cannot enable: socket descriptor %d is beyond what select can "
                               "watch (%d)", name, sender->GetFd(), FD_SETSIZE);
        return Status::FAILURE_UNAVAILABLE;
    }
    m_sender = std::move(sender);
    Log::Instance().Infof("%s: sending to %s, %zu packets (%zu bytes) per datagram at most, %s",
                          name, route.Describe(destination).c_str(), datagram_bytes / TS_PACKET_SIZE,
                          datagram_bytes, pacing.paced ? "paced" : "unpaced");
    const int fragments = IpFragments(destination.family, static_cast<int>(datagram_bytes), MTU);
    if (fragments > 1)
        Log::Instance().Infof("%s: a %zu-byte datagram travels as %d IP fragments on a %d-byte MTU "
                              "link; %d bytes (7 packets) would not be fragmented",
                              name, datagram_bytes, fragments, MTU, 7 * TS_PACKET_SIZE);
    return Status::SUCCESS;
}

Status SocketNetworkDatagramOut::OnDisable() {
    if (!m_sender) return Status::SUCCESS;
    const uint64_t discarded = m_sender->Flush(FLUSH_LIMIT);
    if (discarded)
        Log::Instance().Warnf("%s: %llu queued packets could not be sent at disable",
                              GetName().c_str(), static_cast<unsigned long long>(discarded));
    m_sender->Statistics().Discarded(discarded);
    m_sender->Report("at disable");
    m_totals = GetCounters();
    m_sender.reset();
    return Status::SUCCESS;
}

Status SocketNetworkDatagramOut::Shutdown() {
    const Status status = AVComponent::Shutdown();
    SendStatistics::LogCounters(GetName(), "at shutdown", GetCounters());
    return status;
}

Status SocketNetworkDatagramOut::SetupIOEvents(IOEventData& data) {
    if (m_sender) m_sender->Setup(data);
    return Status::SUCCESS;
}

Status SocketNetworkDatagramOut::HandleIOEvents(IOEventData& data) {
    if (m_sender) m_sender->Handle(data);
    return Status::SUCCESS;
}

void SocketNetworkDatagramOut::ReceiveChunk(const MediaChunk& chunk) {
    if (m_sender) m_sender->Receive(chunk);
}

SocketNetworkDatagramOut::Counters SocketNetworkDatagramOut::GetCounters() const {
    if (!m_sender) return m_totals;
    return m_sender->Statistics().Totals(m_totals);
}

size_t SocketNetworkDatagramOut::GetQueuedBytes() const {
    return m_sender ? m_sender->GetQueuedBytes() : 0;
}

void SocketNetworkDatagramOut::SetSendObserver(SendObserver observer) { m_observer = std::move(observer); }
