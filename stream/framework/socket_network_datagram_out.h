#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "av_component.h"

// Sends the MPEG-TS stream of its connected source as UDP datagrams from a
// non-blocking, unconnected socket to an IPv4 or IPv6 address literal.
//
// Every datagram is a whole number of 188-byte packets and at most the
// maximum message size. Sending is paced: no window of pace_window_ms holds
// more than pace_factor times the stream's mean bytes per 10 ms, so a frame
// leaves in a few short bursts instead of one. A queue that grows past
// queue_bytes loses its oldest whole packets, and frames queued for over half
// a second go whole (both counted, warned about).
//
// Settings, read from the option store at enable ("<name>.<setting>"):
//   queue_bytes      bound of the send queue (default 1048576)
//   pace_factor      bytes per 10 ms allowed, in stream means (default 1.9)
//   pace_window_ms   window the allowance applies to (default 10.5; a little
//                    over 10 ms absorbs receive-side jitter); a window in
//                    which pace_factor means per 10 ms are less than the
//                    stream is refused
//   max_bitrate      caps the paced rate, bits/s; 0 = no cap (default 0)
//   paced            0 sends as fast as the socket takes it (default 1)
//   report_seconds   period of the counters line (default 5)
class SocketNetworkDatagramOut : public AVComponent {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int TS_PACKET_SIZE = 188;

    struct Counters {
        uint64_t datagrams = 0;
        uint64_t bytes = 0;
        uint64_t refused = 0;          // ICMP port unreachable reports (nobody listening)
        uint64_t failed = 0;           // other failed sends and error reports
        uint64_t dropped_packets = 0;  // TS packets dropped from a full queue or at disable
        uint64_t frames = 0;           // frames whose last byte was sent
    };

    struct FrameEnded {
        uint64_t frame_number = 0;
        Clock::time_point created;  // MediaChunk::created
    };
    // Reported for every datagram the socket took.
    struct DatagramSent {
        Clock::time_point when;
        size_t bytes = 0;
        // Frames whose last byte this datagram carried, oldest first.
        std::vector<FrameEnded> frames_ended;
    };
    using SendObserver = std::function<void(const DatagramSent& sent)>;

    // Nothing is checked here; SetEnabled(true) validates and opens the socket.
    SocketNetworkDatagramOut(const std::string& name, std::string address, int port,
                             int max_message_size);
    ~SocketNetworkDatagramOut() override;

    Status Shutdown() override;
    Status SetupIOEvents(IOEventData& data) override;
    Status HandleIOEvents(IOEventData& data) override;

    Counters GetCounters() const;
    size_t GetQueuedBytes() const;
    // For measurements; runs on the loop's thread inside the send path.
    void SetSendObserver(SendObserver observer);

protected:
    Status OnEnable() override;
    Status OnDisable() override;
    void ReceiveChunk(const MediaChunk& chunk) override;

private:
    class Sender;

    std::string m_address;
    int m_port;
    int m_max_message_size;
    SendObserver m_observer;
    std::unique_ptr<Sender> m_sender;  // exists while enabled
    Counters m_totals;                 // of earlier enabled periods
};
