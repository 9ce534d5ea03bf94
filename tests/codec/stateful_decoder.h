#pragma once

// The kernel's stateful decoder interface, as much as the encoder client's
// tests need to turn coded frames back into pictures: coded frames in on
// OUTPUT, the source-change event, NV12 out on CAPTURE, the drain. Test rig
// only: nothing of the framework decodes.

#include <linux/videodev2.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "v4l2_node.h"
#include "v4l2_queue.h"

class StatefulDecoder {
public:
    struct Picture {
        std::vector<uint8_t> bytes;  // NV12 in the decoder's layout
        uint32_t width = 0, height = 0, bytes_per_line = 0;
    };

    // Decodes every frame; what failed is in the returned text, empty when none did.
    std::string Decode(const std::string& path, uint32_t coded, uint32_t width, uint32_t height,
                       const std::vector<std::vector<uint8_t>>& frames, std::vector<Picture>& pictures) {
        if (m_node.Open(path) != Status::SUCCESS) return m_node.Error();
        const bool multi = (m_node.Caps() & V4L2_CAP_VIDEO_M2M_MPLANE) != 0;
        V4l2Queue output(m_node, V4l2Queue::Direction::OUTPUT, multi);
        V4l2Queue capture(m_node, V4l2Queue::Direction::CAPTURE, multi);
        V4l2Queue::Format format;
        format.fourcc = coded;
        format.width = width;
        format.height = height;
        if (output.SetFormat(format) != Status::SUCCESS || output.Allocate(4, 1) != Status::SUCCESS)
            return m_node.Error();
        v4l2_event_subscription subscription{};
        subscription.type = V4L2_EVENT_SOURCE_CHANGE;
        if (!m_node.Call(VIDIOC_SUBSCRIBE_EVENT, &subscription, "VIDIOC_SUBSCRIBE_EVENT") ||
            output.StreamOn() != Status::SUCCESS)
            return m_node.Error();
        size_t next = 0;
        bool stopped = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            // Coded frames into free buffers; the stop once they are all in.
            V4l2Queue::Buffer buffer;
            while (output.Dequeue(buffer) == V4l2Queue::Dequeued::BUFFER) {}
            for (uint32_t index = 0; index < output.Count() && next < frames.size(); ++index) {
                if (output.IsQueued(index)) continue;
                const std::vector<uint8_t>& frame = frames[next++];
                if (frame.size() > output.Map(index, 0).length) return "a coded frame is larger than a buffer";
                memcpy(output.Map(index, 0).data, frame.data(), frame.size());
                const uint32_t used[V4l2Queue::MAX_PLANES] = {static_cast<uint32_t>(frame.size())};
                if (output.Queue(index, used) != Status::SUCCESS) return m_node.Error();
            }
            if (next == frames.size() && !stopped && capture.IsStreaming()) {
                v4l2_decoder_cmd command{};
                command.cmd = V4L2_DEC_CMD_STOP;
                if (!m_node.Call(VIDIOC_DECODER_CMD, &command, "VIDIOC_DECODER_CMD")) return m_node.Error();
                stopped = true;
            }
            v4l2_event event{};
            if (m_node.CallQuietly(VIDIOC_DQEVENT, &event) && event.type == V4L2_EVENT_SOURCE_CHANGE) {
                if (capture.GetFormat(format) != Status::SUCCESS) return m_node.Error();
                format.fourcc = V4L2_PIX_FMT_NV12;
                format.planes = 1;
                format.plane[0] = {};
                if (capture.SetFormat(format) != Status::SUCCESS || capture.Allocate(4, 1) != Status::SUCCESS)
                    return m_node.Error();
                m_format = format;
                for (uint32_t index = 0; index < capture.Count(); ++index)
                    if (capture.Queue(index) != Status::SUCCESS) return m_node.Error();
                if (capture.StreamOn() != Status::SUCCESS) return m_node.Error();
            }
            while (capture.IsStreaming()) {
                const V4l2Queue::Dequeued got = capture.Dequeue(buffer);
                if (got == V4l2Queue::Dequeued::LAST) return "";
                if (got == V4l2Queue::Dequeued::FAILED) return m_node.Error();
                if (got == V4l2Queue::Dequeued::NONE) break;
                if (buffer.used[0] > 0) {
                    const uint8_t* data = capture.Map(buffer.index, 0).data;
                    pictures.push_back({std::vector<uint8_t>(data, data + buffer.used[0]), m_format.width,
                                        m_format.height, m_format.plane[0].bytes_per_line});
                }
                if ((buffer.flags & V4L2_BUF_FLAG_LAST) != 0) return "";
                if (capture.Queue(buffer.index) != Status::SUCCESS) return m_node.Error();
            }
            pollfd wait{m_node.Descriptor(), POLLIN | POLLOUT | POLLPRI, 0};
            poll(&wait, 1, 100);
        }
        return "the decoder did not finish within 10 s";
    }

private:
    V4l2Node m_node;
    V4l2Queue::Format m_format;
};
