#pragma once

// The vocabulary of the framework's command interface. Every object here has
// internal linkage: each program that includes this header carries its own
// copy, built before main in declaration order (time bases, the command data
// names, then the map) and destroyed at exit in reverse order.

#include "timebase.h"  // first: the time bases are built before everything below

#include <initializer_list>
#include <map>
#include <string>
#include <utility>

#include "command.h"

// Names of the kinds of data a command can carry.
static const std::string COMMAND_DATA_BOOL = "command_data_bool";
static const std::string COMMAND_DATA_STRING = "command_data_string";
static const std::string COMMAND_DATA_STRING_VECTOR = "command_data_string_vector";
static const std::string COMMAND_DATA_RTMP_STATUS = "command_data_rtmp_status";
static const std::string COMMAND_DATA_RTMP_OUT_CONFIG = "command_data_rtmp_out_config";
static const std::string COMMAND_DATA_REMUX_STATUS = "command_data_remux_status";
static const std::string COMMAND_DATA_INT = "command_data_int";
static const std::string COMMAND_DATA_INT32 = "command_data_int32";
static const std::string COMMAND_DATA_UINT16 = "command_data_uint16";
static const std::string COMMAND_DATA_UINT32 = "command_data_uint32";
static const std::string COMMAND_DATA_NACK = "command_data_nack";
static const std::string COMMAND_DATA_FLATBUFFER = "command_data_flatbuffer";
static const std::string COMMAND_DATA_CONFIGURATION_CACHE_ENTRY = "command_data_configuration_cache_entry";
static const std::string COMMAND_DATA_CONFIGURATION_CACHE = "command_data_configuration_cache";
static const std::string COMMAND_DATA_ENCODE_CONFIG_TYPE = "command_data_encode_config";
static const std::string COMMAND_DATA_AV_IO_TYPE = "command_data_av_io_type";
static const std::string COMMAND_DATA_VIDEO_FORMAT = "command_data_video_format";
static const std::string COMMAND_DATA_STREAMING_PROTOCOL = "command_data_streaming_protocol";
static const std::string COMMAND_DATA_LED_STATE_QUERY = "command_data_led_state_query";
static const std::string COMMAND_DATA_FILE_RECORD_CONFIG = "command_data_file_record_config";
static const std::string COMMAND_DATA_BULK_FILE_RECORD_INFO = "command_data_bulk_file_record_info";
static const std::string COMMAND_DATA_THUMBNAIL_INFO = "command_data_thumbnail_info";
static const std::string COMMAND_DATA_STORAGE_DEVICE_INFO = "command_data_storage_device_info";
static const std::string COMMAND_DATA_HTTP_STREAMING_CONFIG = "command_data_http_streaming_config";
static const std::string COMMAND_DATA_NETWORK_CONFIG = "command_data_network_config";
static const std::string COMMAND_DATA_NTP_CONFIG = "command_data_ntp_config";
static const std::string COMMAND_DATA_RTSP_SESSION = "command_data_rtsp_session";
static const std::string COMMAND_DATA_MD5SUM = "command_data_md5sum";
static const std::string COMMAND_DATA_SSDP_CALLBACK = "command_data_ssdp_callback";
static const std::string COMMAND_DATA_SSDP_DEV_LIST = "command_data_ssdp_dev_list";
static const std::string COMMAND_DATA_PIN_LIST = "command_data_pin_list";
static const std::string COMMAND_DATA_HDCP_MODE = "command_data_hdcp_mode";

namespace command_vocabulary {

// Fills the map in list order, each pair inserted at the end as the hint;
// a repeated key keeps its first value.
template <typename Key, typename Value>
static std::map<Key, Value> BuildMap(std::initializer_list<std::pair<Key, Value>> pairs) {
    std::map<Key, Value> map;
    for (const auto& pair : pairs) map.insert(map.end(), pair);
    return map;
}

}  // namespace command_vocabulary

// Textual command type names to their values; exact, case-sensitive keys.
static const std::map<const std::string, Command::Type> StringToCommandType =
    command_vocabulary::BuildMap<const std::string, Command::Type>({
        {"net_config", Command::NET_CONFIG},
        {"enabled", Command::ENABLED},
        {"component_connect", Command::COMPONENT_CONNECT},
        {"video_output_format", Command::VIDEO_OUTPUT_FORMAT},
        {"video_input_format", Command::VIDEO_INPUT_FORMAT},
        {"enc_config", Command::ENC_CONFIG},
        {"multi_in_src_ip", Command::MULTI_IN_SRC_IP},
        {"multi_in_src_port", Command::MULTI_IN_SRC_PORT},
        {"uni_in_src_port", Command::UNI_IN_SRC_PORT},
        {"dec_pid_video", Command::DEC_PID_VIDEO},
        {"dec_pid_audio", Command::DEC_PID_AUDIO},
        {"multi_out_dest_ip", Command::MULTI_OUT_DEST_IP},
        {"multi_out_dest_port", Command::MULTI_OUT_DEST_PORT},
        {"multi_out_ttl", Command::MULTI_OUT_TTL},
        {"uni_out_dest_ip", Command::UNI_OUT_DEST_IP},
        {"uni_out_dest_port", Command::UNI_OUT_DEST_PORT},
        {"led_component_poll_on_state", Command::LED_COMPONENT_POLL_ON_STATE},
        {"led_component_poll_blink_state", Command::LED_COMPONENT_POLL_BLINK_STATE},
    });
