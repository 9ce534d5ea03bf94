#include "av_component.h"

#include "log.h"

AVComponent::AVComponent(const std::string& name) : m_name(name) {}

AVComponent::~AVComponent() { Unsubscribe(); }

const std::string& AVComponent::GetName() const { return m_name; }

Status AVComponent::SetEnabled(bool enabled) {
    if (enabled == m_enabled) return Status::SUCCESS;
    if (enabled && m_shut_down) {
        Log::Instance().Errorf("%s: cannot enable after shutdown", m_name.c_str());
        return Status::FAILURE_INVALID_STATE;
    }
    const Status status = enabled ? OnEnable() : OnDisable();
    // A failed disable still counts as disabled: nothing may run afterwards.
    if (status == Status::SUCCESS || !enabled) m_enabled = enabled;
    return status;
}

bool AVComponent::IsEnabled() const { return m_enabled; }

Status AVComponent::Connect(std::shared_ptr<AVComponent> source, std::string output) {
    if (!source) {
        Log::Instance().Errorf("%s: cannot connect to output \"%s\" of no component", m_name.c_str(),
                               output.c_str());
        return Status::FAILURE_NULL_POINTER;
    }
    if (source.get() == this) {
        Log::Instance().Errorf("%s: cannot connect to its own output \"%s\"", m_name.c_str(),
                               output.c_str());
        return Status::FAILURE_INVALID;
    }
    if (m_source) {
        Log::Instance().Errorf("%s: already connected to %s; disconnect first", m_name.c_str(),
                               m_source->GetName().c_str());
        return Status::FAILURE_INVALID_STATE;
    }
    auto source_output = source->GetOutput(output);
    if (!source_output) {
        std::string names;
        for (const auto& name : source->GetOutputNames()) names += (names.empty() ? "" : ", ") + name;
        Log::Instance().Errorf("%s: cannot connect: %s has no output \"%s\" (it has: %s)",
                               m_name.c_str(), source->GetName().c_str(), output.c_str(),
                               names.empty() ? "none" : names.c_str());
        return Status::FAILURE_INVALID;
    }
    m_subscription = source_output->Subscribe([this](const MediaChunk& chunk) { ReceiveChunk(chunk); });
    m_source = std::move(source);
    m_source_output = std::move(source_output);
    return Status::SUCCESS;
}

void AVComponent::Unsubscribe() {
    if (m_source_output) m_source_output->Unsubscribe(m_subscription);
    m_source_output.reset();
    m_source.reset();
    m_subscription = 0;
}

Status AVComponent::Disconnect() {
    if (!m_source) {
        Log::Instance().Warnf("%s: disconnect while not connected", m_name.c_str());
        return Status::FAILURE_INVALID_STATE;
    }
    Unsubscribe();
    return Status::SUCCESS;
}

Status AVComponent::Shutdown() {
    Status status = SetEnabled(false);
    if (m_source) Unsubscribe();
    m_shut_down = true;
    return status;
}

Status AVComponent::SetupIOEvents(IOEventData&) { return Status::SUCCESS; }
Status AVComponent::HandleIOEvents(IOEventData&) { return Status::SUCCESS; }

std::shared_ptr<ComponentOutput> AVComponent::GetOutput(const std::string& name) const {
    const auto found = m_outputs.find(name);
    return found == m_outputs.end() ? nullptr : found->second;
}

std::vector<std::string> AVComponent::GetOutputNames() const {
    std::vector<std::string> names;
    for (const auto& entry : m_outputs) names.push_back(entry.first);
    return names;
}

std::shared_ptr<ComponentOutput> AVComponent::AddOutput(const std::string& name) {
    auto& slot = m_outputs[name];
    if (!slot) slot = std::make_shared<ComponentOutput>(name);
    return slot;
}

std::string AVComponent::OptionKey(const std::string& setting) const { return m_name + "." + setting; }

Status AVComponent::OnEnable() { return Status::SUCCESS; }
Status AVComponent::OnDisable() { return Status::SUCCESS; }
void AVComponent::ReceiveChunk(const MediaChunk&) {}

bool AVComponent::IsShutDown() const { return m_shut_down; }
