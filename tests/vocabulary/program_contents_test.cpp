// What the built programs carry: netout_probe the whole vocabulary and the
// FlatBuffers version marker, scaler_probe none of the command vocabulary.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "command_vocabulary.h"
#include "tool_runner.h"

namespace {

std::string ReadBinary(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file.good()) << "cannot read " << path;
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

TEST(ProgramContents, NetoutProbeCarriesTheVocabularyAndTheFlatBuffersMarker) {
    const std::string binary = ReadBinary(NETOUT_PROBE_PATH);
    for (const std::string* name : {&COMMAND_DATA_BOOL, &COMMAND_DATA_ENCODE_CONFIG_TYPE,
                                    &COMMAND_DATA_CONFIGURATION_CACHE_ENTRY, &COMMAND_DATA_HDCP_MODE})
        EXPECT_NE(binary.find(*name), std::string::npos) << *name;
    for (const auto& entry : StringToCommandType)
        EXPECT_NE(binary.find(entry.first), std::string::npos) << entry.first;
    EXPECT_NE(binary.find(flatbuffers::flatbuffers_version_string()), std::string::npos);
    // The marker is kept as a weak definition, as the header's inline function gives it.
    const ToolResult symbols = RunTool({"nm", "-C", NETOUT_PROBE_PATH});
    ASSERT_EQ(symbols.status, 0) << symbols.err;
    EXPECT_NE(symbols.out.find(" W flatbuffers::flatbuffers_version_string()"), std::string::npos);
}

TEST(ProgramContents, ScalerProbeCarriesNoCommandVocabulary) {
    const std::string binary = ReadBinary(SCALER_PROBE_PATH);
    ASSERT_FALSE(binary.empty());
    EXPECT_EQ(binary.find("command_data_"), std::string::npos);
    EXPECT_EQ(binary.find("led_component_poll_blink_state"), std::string::npos);
    EXPECT_EQ(binary.find("FlatBuffers "), std::string::npos);
}

}  // namespace
