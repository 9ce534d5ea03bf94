#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "command_vocabulary.h"

// The same header's objects as seen from another translation unit.
const void* PeerStringToCommandType();
const void* PeerCommandDataBool();

namespace {

TEST(StringToCommandType, HoldsTheEighteenTypesWithTheirWireValues) {
    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"net_config", 1},          {"enabled", 2},
        {"component_connect", 20482}, {"video_output_format", 4},
        {"video_input_format", 5},  {"enc_config", 7},
        {"multi_in_src_ip", 8},     {"multi_in_src_port", 9},
        {"uni_in_src_port", 10},    {"dec_pid_video", 11},
        {"dec_pid_audio", 12},      {"multi_out_dest_ip", 13},
        {"multi_out_dest_port", 14}, {"multi_out_ttl", 15},
        {"uni_out_dest_ip", 16},    {"uni_out_dest_port", 18},
        {"led_component_poll_on_state", 26}, {"led_component_poll_blink_state", 27},
    };
    ASSERT_EQ(StringToCommandType.size(), 18u);
    for (const auto& [key, value] : expected) {
        const auto found = StringToCommandType.find(key);
        ASSERT_NE(found, StringToCommandType.end()) << key;
        EXPECT_EQ(static_cast<int32_t>(found->second), value) << key;
    }
    // No name maps to the unused values.
    for (const auto& entry : StringToCommandType) {
        const int32_t value = entry.second;
        EXPECT_TRUE(value != 3 && value != 6 && value != 17 && !(value >= 19 && value <= 25))
            << entry.first << " = " << value;
    }
}

TEST(StringToCommandType, LooksUpOnlyExactKeys) {
    EXPECT_EQ(StringToCommandType.at("component_connect"), 0x5002);
    EXPECT_EQ(StringToCommandType.at("enc_config"), 7);
    EXPECT_EQ(StringToCommandType.at("led_component_poll_blink_state"), 27);
    for (const char* miss : {"Enabled", "ENABLED", "enabled ", "uni_out_dest_port_", "not_a_type", ""})
        EXPECT_EQ(StringToCommandType.find(miss), StringToCommandType.end()) << '"' << miss << '"';
}

TEST(StringToCommandType, IteratesInByteWiseKeyOrder) {
    ASSERT_FALSE(StringToCommandType.empty());
    EXPECT_EQ(StringToCommandType.begin()->first, "component_connect");
    EXPECT_EQ(StringToCommandType.begin()->second, 20482);
    EXPECT_EQ(StringToCommandType.rbegin()->first, "video_output_format");
    EXPECT_EQ(StringToCommandType.rbegin()->second, 4);
    std::vector<std::string> keys;
    for (const auto& entry : StringToCommandType) keys.push_back(entry.first);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    // "multi_out_dest_ip" < "multi_out_dest_port" < "multi_out_ttl": common prefix, then bytes.
    const auto at = [&keys](const char* key) { return std::find(keys.begin(), keys.end(), key); };
    EXPECT_LT(at("multi_out_dest_ip"), at("multi_out_dest_port"));
    EXPECT_LT(at("multi_out_dest_port"), at("multi_out_ttl"));
}

TEST(StringToCommandType, BuildKeepsTheFirstValueOfARepeatedKey) {
    const auto map = command_vocabulary::BuildMap<const std::string, int>(
        {{"b", 1}, {"a", 2}, {"b", 3}, {"c", 4}});
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(map.at("b"), 1);
    EXPECT_EQ(map.begin()->first, "a");
}

TEST(CommandDataNames, HaveTheirValuesAndLengthsInDeclarationOrder) {
    const std::vector<std::pair<const std::string*, std::string>> names = {
        {&COMMAND_DATA_BOOL, "command_data_bool"},
        {&COMMAND_DATA_STRING, "command_data_string"},
        {&COMMAND_DATA_STRING_VECTOR, "command_data_string_vector"},
        {&COMMAND_DATA_RTMP_STATUS, "command_data_rtmp_status"},
        {&COMMAND_DATA_RTMP_OUT_CONFIG, "command_data_rtmp_out_config"},
        {&COMMAND_DATA_REMUX_STATUS, "command_data_remux_status"},
        {&COMMAND_DATA_INT, "command_data_int"},
        {&COMMAND_DATA_INT32, "command_data_int32"},
        {&COMMAND_DATA_UINT16, "command_data_uint16"},
        {&COMMAND_DATA_UINT32, "command_data_uint32"},
        {&COMMAND_DATA_NACK, "command_data_nack"},
        {&COMMAND_DATA_FLATBUFFER, "command_data_flatbuffer"},
        {&COMMAND_DATA_CONFIGURATION_CACHE_ENTRY, "command_data_configuration_cache_entry"},
        {&COMMAND_DATA_CONFIGURATION_CACHE, "command_data_configuration_cache"},
        {&COMMAND_DATA_ENCODE_CONFIG_TYPE, "command_data_encode_config"},
        {&COMMAND_DATA_AV_IO_TYPE, "command_data_av_io_type"},
        {&COMMAND_DATA_VIDEO_FORMAT, "command_data_video_format"},
        {&COMMAND_DATA_STREAMING_PROTOCOL, "command_data_streaming_protocol"},
        {&COMMAND_DATA_LED_STATE_QUERY, "command_data_led_state_query"},
        {&COMMAND_DATA_FILE_RECORD_CONFIG, "command_data_file_record_config"},
        {&COMMAND_DATA_BULK_FILE_RECORD_INFO, "command_data_bulk_file_record_info"},
        {&COMMAND_DATA_THUMBNAIL_INFO, "command_data_thumbnail_info"},
        {&COMMAND_DATA_STORAGE_DEVICE_INFO, "command_data_storage_device_info"},
        {&COMMAND_DATA_HTTP_STREAMING_CONFIG, "command_data_http_streaming_config"},
        {&COMMAND_DATA_NETWORK_CONFIG, "command_data_network_config"},
        {&COMMAND_DATA_NTP_CONFIG, "command_data_ntp_config"},
        {&COMMAND_DATA_RTSP_SESSION, "command_data_rtsp_session"},
        {&COMMAND_DATA_MD5SUM, "command_data_md5sum"},
        {&COMMAND_DATA_SSDP_CALLBACK, "command_data_ssdp_callback"},
        {&COMMAND_DATA_SSDP_DEV_LIST, "command_data_ssdp_dev_list"},
        {&COMMAND_DATA_PIN_LIST, "command_data_pin_list"},
        {&COMMAND_DATA_HDCP_MODE, "command_data_hdcp_mode"},
    };
    ASSERT_EQ(names.size(), 32u);
    size_t longest = 0;
    size_t shortest = SIZE_MAX;
    for (const auto& [name, value] : names) {
        EXPECT_EQ(*name, value);
        longest = std::max(longest, name->size());
        shortest = std::min(shortest, name->size());
    }
    EXPECT_EQ(COMMAND_DATA_ENCODE_CONFIG_TYPE.size(), 26u);
    EXPECT_EQ(COMMAND_DATA_AV_IO_TYPE, "command_data_av_io_type");
    EXPECT_EQ(longest, COMMAND_DATA_CONFIGURATION_CACHE_ENTRY.size());
    EXPECT_EQ(longest, 38u);
    EXPECT_EQ(shortest, COMMAND_DATA_INT.size());
    EXPECT_EQ(shortest, 16u);
}

TEST(CommandVocabulary, EachTranslationUnitHasItsOwnCopy) {
    EXPECT_NE(PeerStringToCommandType(), static_cast<const void*>(&StringToCommandType));
    EXPECT_NE(PeerCommandDataBool(), static_cast<const void*>(&COMMAND_DATA_BOOL));
}

}  // namespace
