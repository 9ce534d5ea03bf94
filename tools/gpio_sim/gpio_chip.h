#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The emulated lines and the sysfs GPIO rules that act on them, free of FUSE.
// Every operation returns 0 or the errno the kernel would give.

enum class Edge { NONE, RISING, FALLING, BOTH };

struct GpioLine {
    bool exported = false;
    uint64_t generation = 0;  // bumped at each export: files opened earlier go stale
    bool output = false;
    Edge edge = Edge::NONE;
    bool active_low = false;
    int level = 0;            // physical level; `value` shows it through active_low
    uint64_t event = 1;       // edge counter, as the kernel's per-attribute event count
    uint64_t writes = 0;      // every write(2) to `value`, failed ones included
    int fail = 0;             // errno injected into value writes; 0 = none
    int read_fail = 0;        // errno injected into value reads; 0 = none
};

class GpioChip {
public:
    // Called after a line's event counter moved or the line was unexported.
    using EventSink = std::function<void(unsigned gpio)>;

    explicit GpioChip(unsigned lines);
    void SetEventSink(EventSink sink) { m_event_sink = std::move(sink); }

    unsigned Lines() const { return m_lines; }
    bool Valid(unsigned gpio) const { return gpio < m_lines; }
    // Null for a line nobody has named yet.
    const GpioLine* Find(unsigned gpio) const;
    const GpioLine* FindExported(unsigned gpio) const;
    // Lines with state: exported, or named through the control tree.
    std::vector<unsigned> Known() const;
    // Gives the line state on first mention (the control tree's sim/N/).
    GpioLine& Touch(unsigned gpio) { return m_line[gpio]; }

    int Export(const std::string& text);
    int Unexport(const std::string& text);

    int WriteDirection(unsigned gpio, const std::string& text);
    int WriteEdge(unsigned gpio, const std::string& text);
    int WriteActiveLow(unsigned gpio, const std::string& text);
    int WriteValue(unsigned gpio, const std::string& text);

    int WriteLevel(unsigned gpio, const std::string& text);
    int WriteFail(unsigned gpio, const std::string& text);
    int WriteReadFail(unsigned gpio, const std::string& text);

    static std::string DirectionText(const GpioLine& line);
    static std::string EdgeText(const GpioLine& line);
    static std::string ActiveLowText(const GpioLine& line);
    static std::string ValueText(const GpioLine& line);
    static std::string LevelText(const GpioLine& line);
    static std::string WritesText(const GpioLine& line);
    static std::string FailText(const GpioLine& line);
    static std::string ReadFailText(const GpioLine& line);

private:
    int ParseLine(const std::string& text, unsigned* gpio) const;
    void Raise(unsigned gpio, GpioLine& line);

    unsigned m_lines;
    std::map<unsigned, GpioLine> m_line;
    EventSink m_event_sink;
};
