# scaler_probe: one frame through the host scaler to five files.
if(TARGET lumaset_media)
  add_executable(scaler_probe ${CMAKE_CURRENT_LIST_DIR}/scaler_probe.cpp)
  target_link_libraries(scaler_probe PRIVATE lumaset_media lumaset_common)
  target_compile_definitions(scaler_probe PRIVATE LUMASET_SOURCE_NAME="test/scaler_probe")
endif()
