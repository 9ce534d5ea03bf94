#include "probe_fakes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "encode_qualcomm.h"
#include "socket_network_datagram_out.h"

namespace fake {

namespace {
int g_select_calls = 0;
std::shared_ptr<ComponentOutput> g_encoder_output;

size_t Consumers() { return g_encoder_output ? g_encoder_output->GetConsumerCount() : 0; }
}  // namespace

Script& GetScript() {
    static Script script;
    return script;
}

int SelectCalls() { return g_select_calls; }

}  // namespace fake

// The program's select and gettimeofday (renamed when its source is compiled for this test).
extern "C" int netout_probe_select(int nfds, fd_set*, fd_set*, fd_set*, timeval* timeout) {
    // A loop that never ends its run would hang the test: end it loudly instead.
    if (++fake::g_select_calls > 100000) {
        fprintf(stderr, "netout_probe's loop did not end after 100000 cycles\n");
        std::_Exit(3);
    }
    printf("# select nfds=%d timeout=%s\n", nfds, timeout ? "yes" : "none");
    auto& results = fake::GetScript().select_results;
    if (results.empty()) return 0;
    const fake::SelectResult next = results.front();
    results.pop_front();
    if (next.result < 0) errno = next.error;
    return next.result;
}

extern "C" int netout_probe_gettimeofday(timeval* tv, void*) {
    fake::Script& script = fake::GetScript();
    *tv = script.clock;
    script.clock.tv_usec += script.clock_step_usec;
    script.clock.tv_sec += script.clock.tv_usec / 1000000;
    script.clock.tv_usec %= 1000000;
    return 0;
}

class EncodeQualcomm::Pipeline {};

EncodeQualcomm::EncodeQualcomm(const std::string& name)
    : AVComponent(name), m_high_res(AddOutput(OUTPUT_NAME)) {
    fake::g_encoder_output = m_high_res;
    printf("# EncodeQualcomm %s\n", name.c_str());
}
EncodeQualcomm::~EncodeQualcomm() {
    printf("# %s destroyed\n", GetName().c_str());
    fake::g_encoder_output.reset();
}
Status EncodeQualcomm::Shutdown() {
    printf("# %s Shutdown consumers=%zu\n", GetName().c_str(), fake::Consumers());
    return AVComponent::Shutdown();
}
Status EncodeQualcomm::SetupIOEvents(IOEventData& data) {
    printf("# %s SetupIOEvents\n", GetName().c_str());
    if (fake::GetScript().encoder_timeout) {
        const std::string name = GetName();
        data.AddTimeout(IOEventData::Clock::now() - std::chrono::milliseconds(1),
                        [name] { printf("# %s timeout\n", name.c_str()); });
    }
    return Status::SUCCESS;
}
Status EncodeQualcomm::HandleIOEvents(IOEventData&) {
    printf("# %s HandleIOEvents\n", GetName().c_str());
    return Status::SUCCESS;
}
EncodeQualcomm::Counters EncodeQualcomm::GetCounters() const { return m_totals; }
Status EncodeQualcomm::OnEnable() {
    printf("# %s enable consumers=%zu\n", GetName().c_str(), fake::Consumers());
    return fake::GetScript().encoder_enable;
}
Status EncodeQualcomm::OnDisable() {
    printf("# %s disable\n", GetName().c_str());
    return fake::GetScript().encoder_disable;
}

class SocketNetworkDatagramOut::Sender {};

SocketNetworkDatagramOut::SocketNetworkDatagramOut(const std::string& name, std::string address,
                                                   int port, int max_message_size)
    : AVComponent(name), m_address(std::move(address)), m_port(port),
      m_max_message_size(max_message_size) {
    printf("# SocketNetworkDatagramOut %s %s %d %d\n", name.c_str(), m_address.c_str(), m_port,
           m_max_message_size);
}
SocketNetworkDatagramOut::~SocketNetworkDatagramOut() { printf("# %s destroyed\n", GetName().c_str()); }
Status SocketNetworkDatagramOut::Shutdown() {
    printf("# %s Shutdown\n", GetName().c_str());
    return AVComponent::Shutdown();
}
Status SocketNetworkDatagramOut::SetupIOEvents(IOEventData& data) {
    printf("# %s SetupIOEvents\n", GetName().c_str());
    if (fake::GetScript().sender_read_fd >= 0) return data.AddReadFd(fake::GetScript().sender_read_fd);
    return Status::SUCCESS;
}
Status SocketNetworkDatagramOut::HandleIOEvents(IOEventData&) {
    printf("# %s HandleIOEvents\n", GetName().c_str());
    return Status::SUCCESS;
}
SocketNetworkDatagramOut::Counters SocketNetworkDatagramOut::GetCounters() const { return m_totals; }
size_t SocketNetworkDatagramOut::GetQueuedBytes() const { return 0; }
void SocketNetworkDatagramOut::SetSendObserver(SendObserver observer) { m_observer = std::move(observer); }
Status SocketNetworkDatagramOut::OnEnable() {
    printf("# %s enable\n", GetName().c_str());
    return fake::GetScript().sender_enable;
}
Status SocketNetworkDatagramOut::OnDisable() {
    printf("# %s disable\n", GetName().c_str());
    return fake::GetScript().sender_disable;
}
void SocketNetworkDatagramOut::ReceiveChunk(const MediaChunk&) {}
