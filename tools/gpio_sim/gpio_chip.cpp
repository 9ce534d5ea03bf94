#include "gpio_chip.h"

#include <cerrno>

#include "sysfs_text.h"

namespace {
int LogicalValue(const GpioLine& line) { return line.level ^ (line.active_low ? 1 : 0); }

bool Selects(Edge edge, int from, int to) {
    if (from == to) return false;
    switch (edge) {
        case Edge::RISING: return to == 1;
        case Edge::FALLING: return to == 0;
        case Edge::BOTH: return true;
        case Edge::NONE: break;
    }
    return false;
}
}  // namespace

GpioChip::GpioChip(unsigned lines) : m_lines(lines) {}

const GpioLine* GpioChip::Find(unsigned gpio) const {
    const auto found = m_line.find(gpio);
    return found == m_line.end() ? nullptr : &found->second;
}

const GpioLine* GpioChip::FindExported(unsigned gpio) const {
    const GpioLine* line = Find(gpio);
    return line != nullptr && line->exported ? line : nullptr;
}

std::vector<unsigned> GpioChip::Known() const {
    std::vector<unsigned> known;
    for (const auto& entry : m_line) known.push_back(entry.first);
    return known;
}

int GpioChip::ParseLine(const std::string& text, unsigned* gpio) const {
    long number = -1;
    if (!ParseSysfsLong(text, &number) || number < 0 || number >= static_cast<long>(m_lines))
        return EINVAL;
    *gpio = static_cast<unsigned>(number);
    return 0;
}

int GpioChip::Export(const std::string& text) {
    unsigned gpio = 0;
    if (const int error = ParseLine(text, &gpio)) return error;
    GpioLine& line = Touch(gpio);
    if (line.exported) return EBUSY;
    line.exported = true;
    ++line.generation;
    return 0;
}

int GpioChip::Unexport(const std::string& text) {
    unsigned gpio = 0;
    if (const int error = ParseLine(text, &gpio)) return error;
    GpioLine& line = Touch(gpio);
    if (!line.exported) return EINVAL;
    // Freeing the line drops its interrupt and its inversion; the pin keeps its direction.
    line.exported = false;
    line.edge = Edge::NONE;
    line.active_low = false;
    if (m_event_sink) m_event_sink(gpio);
    return 0;
}

int GpioChip::WriteDirection(unsigned gpio, const std::string& text) {
    GpioLine& line = Touch(gpio);
    int level = 0;
    if (SysfsEquals(text, "in")) {
        line.output = false;
        return 0;
    }
    if (SysfsEquals(text, "high")) level = 1;
    else if (!SysfsEquals(text, "out") && !SysfsEquals(text, "low")) return EINVAL;
    // As in the kernel, sysfs sets the direction raw: a line with an edge
    // becomes an output all the same, and keeps its edge setting.
    line.output = true;
    line.level = level;  // "high"/"low" set the raw level, before active_low
    return 0;
}

int GpioChip::WriteEdge(unsigned gpio, const std::string& text) {
    Edge edge = Edge::NONE;
    if (SysfsEquals(text, "none")) edge = Edge::NONE;
    else if (SysfsEquals(text, "rising")) edge = Edge::RISING;
    else if (SysfsEquals(text, "falling")) edge = Edge::FALLING;
    else if (SysfsEquals(text, "both")) edge = Edge::BOTH;
    else return EINVAL;
    GpioLine& line = Touch(gpio);
    // The setting it has is taken again as it is; an output line cannot be
    // flagged for another interrupt.
    if (edge == line.edge) return 0;
    if (edge != Edge::NONE && line.output) return EIO;
    line.edge = edge;
    return 0;
}

int GpioChip::WriteActiveLow(unsigned gpio, const std::string& text) {
    long value = 0;
    if (!ParseSysfsLong(text, &value)) return EINVAL;
    Touch(gpio).active_low = value != 0;
    return 0;
}

int GpioChip::WriteValue(unsigned gpio, const std::string& text) {
    GpioLine& line = Touch(gpio);
    ++line.writes;
    if (line.fail != 0) return line.fail;
    if (!line.output) return EPERM;
    long value = 0;
    if (!ParseSysfsLong(text, &value)) return EINVAL;
    line.level = (value != 0 ? 1 : 0) ^ (line.active_low ? 1 : 0);
    return 0;
}

int GpioChip::WriteLevel(unsigned gpio, const std::string& text) {
    int level = 0;
    if (SysfsEquals(text, "1")) level = 1;
    else if (!SysfsEquals(text, "0")) return EINVAL;
    GpioLine& line = Touch(gpio);
    // An exported output drives the pin itself.
    if (line.exported && line.output) return EPERM;
    const int before = LogicalValue(line);
    line.level = level;
    if (line.exported && Selects(line.edge, before, LogicalValue(line))) Raise(gpio, line);
    return 0;
}

namespace {
// An errno number to inject: 0 (none) to 4095.
int ParseErrno(const std::string& text, int* error) {
    long value = 0;
    if (!ParseSysfsLong(text, &value) || value < 0 || value > 4095) return EINVAL;
    *error = static_cast<int>(value);
    return 0;
}
}  // namespace

int GpioChip::WriteFail(unsigned gpio, const std::string& text) {
    return ParseErrno(text, &Touch(gpio).fail);
}

int GpioChip::WriteReadFail(unsigned gpio, const std::string& text) {
    return ParseErrno(text, &Touch(gpio).read_fail);
}

void GpioChip::Raise(unsigned gpio, GpioLine& line) {
    ++line.event;
    if (m_event_sink) m_event_sink(gpio);
}

std::string GpioChip::DirectionText(const GpioLine& line) { return line.output ? "out\n" : "in\n"; }

std::string GpioChip::EdgeText(const GpioLine& line) {
    switch (line.edge) {
        case Edge::RISING: return "rising\n";
        case Edge::FALLING: return "falling\n";
        case Edge::BOTH: return "both\n";
        case Edge::NONE: break;
    }
    return "none\n";
}

std::string GpioChip::ActiveLowText(const GpioLine& line) { return line.active_low ? "1\n" : "0\n"; }
std::string GpioChip::ValueText(const GpioLine& line) { return LogicalValue(line) ? "1\n" : "0\n"; }
std::string GpioChip::LevelText(const GpioLine& line) { return line.level ? "1\n" : "0\n"; }
std::string GpioChip::WritesText(const GpioLine& line) { return std::to_string(line.writes) + "\n"; }
std::string GpioChip::FailText(const GpioLine& line) { return std::to_string(line.fail) + "\n"; }
std::string GpioChip::ReadFailText(const GpioLine& line) { return std::to_string(line.read_fail) + "\n"; }
