# Encoder area: the host stand-in for the hardware encoder (x264 + libavformat).
pkg_check_modules(LUMASET_ENCODE_LIBS REQUIRED IMPORTED_TARGET x264 libavformat libavcodec libavutil)

set(LUMASET_ENCODE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/h264_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ts_muxer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_pattern.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nv12_frame_reader.cpp)
# The component itself needs the stream area's AVComponent.
if(TARGET lumaset_stream AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/encode_qualcomm.cpp)
  list(APPEND LUMASET_ENCODE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/encode_qualcomm.cpp)
endif()

add_library(lumaset_encode STATIC ${LUMASET_ENCODE_SOURCES})
target_include_directories(lumaset_encode PUBLIC ${LUMASET_FRAMEWORK_INCLUDE})
target_link_libraries(lumaset_encode PUBLIC lumaset_core PRIVATE PkgConfig::LUMASET_ENCODE_LIBS)
if(TARGET lumaset_stream)
  target_link_libraries(lumaset_encode PUBLIC lumaset_stream)
endif()
