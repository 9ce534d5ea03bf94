#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component_output.h"
#include "io_event_data.h"
#include "status.h"

// A pipeline component driven by one select loop on one thread.
//
// Lifecycle: construct -> Connect (consumers) -> SetEnabled(true) -> cycles
// of SetupIOEvents / select / HandleTimeout or HandleIOEvents ->
// SetEnabled(false) -> Disconnect -> Shutdown -> destroy.
//
// Each cycle the loop calls HandleTimeout when select returned 0 and every
// component's HandleIOEvents when any descriptor (anyone's) is ready, never
// both. Time-driven work must therefore also be done from HandleIOEvents when
// its deadline has passed: register the deadline in SetupIOEvents with
// IOEventData::AddTimeout, and in HandleIOEvents check the clock yourself.
//
// Publishing data (for a source such as an encoder):
//   - In the constructor: m_high_res = AddOutput("high_res");
//   - Per encoded frame, hand the TS bytes over as one MediaChunk (or several,
//     with last_of_frame set only on the final one):
//         MediaChunk chunk;
//         chunk.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(ts));
//         chunk.created = <steady_clock time the raw frame was made/read>;
//         chunk.frame_number = n;              // same for all chunks of a frame
//         chunk.last_of_frame = true;
//         chunk.frame_interval = <1 s / fps>;  // nominal
//         chunk.bit_rate = <target bits/s>;    // nominal
//         m_high_res->Publish(chunk);
//   - bytes must be whole 188-byte TS packets (sync byte 0x47 first), and a
//     frame's bytes should all be published when the frame is encoded (flush
//     the muxer's I/O per frame) so nothing waits for the next frame.
//   - Publish runs the consumers synchronously; a sender may send part of the
//     chunk from inside the call. Publish only while enabled.
//   - The sender paces from these fields: created gives the latency it logs,
//     frame_interval and bit_rate seed its estimate of the stream's mean rate.
class AVComponent {
public:
    explicit AVComponent(const std::string& name);
    virtual ~AVComponent();
    AVComponent(const AVComponent&) = delete;
    AVComponent& operator=(const AVComponent&) = delete;

    const std::string& GetName() const;

    // Enabling an enabled (or disabling a disabled) component is SUCCESS and
    // does nothing. A failed enable leaves the component disabled. After
    // Shutdown, enabling gives FAILURE_INVALID_STATE.
    Status SetEnabled(bool enabled);
    bool IsEnabled() const;

    // Subscribes this component to the source's named output; its chunks then
    // arrive in ReceiveChunk. FAILURE_NULL_POINTER for no source,
    // FAILURE_INVALID for an output the source does not have (or itself),
    // FAILURE_INVALID_STATE when already connected.
    virtual Status Connect(std::shared_ptr<AVComponent> source, std::string output);
    // FAILURE_INVALID_STATE when not connected.
    virtual Status Disconnect();
    // Disables and disconnects; the component cannot be enabled again.
    virtual Status Shutdown();

    virtual Status SetupIOEvents(IOEventData& data);
    virtual Status HandleIOEvents(IOEventData& data);

    // Empty when the component has no such output.
    std::shared_ptr<ComponentOutput> GetOutput(const std::string& name) const;
    std::vector<std::string> GetOutputNames() const;

protected:
    std::shared_ptr<ComponentOutput> AddOutput(const std::string& name);
    // "<name>.<setting>", the option store key of one of this component's settings.
    std::string OptionKey(const std::string& setting) const;

    // Called by SetEnabled on a real change. A failure from OnEnable keeps
    // the component disabled.
    virtual Status OnEnable();
    virtual Status OnDisable();
    // A chunk from the connected source's output (only while connected).
    virtual void ReceiveChunk(const MediaChunk& chunk);

    bool IsShutDown() const;

private:
    void Unsubscribe();

    std::string m_name;
    bool m_enabled = false;
    bool m_shut_down = false;
    std::map<std::string, std::shared_ptr<ComponentOutput>> m_outputs;
    std::shared_ptr<AVComponent> m_source;
    std::shared_ptr<ComponentOutput> m_source_output;
    uint64_t m_subscription = 0;
};
