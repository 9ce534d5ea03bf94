# netout_probe: the encoder wired to the datagram sender, driven by one select loop.
if(TARGET lumaset_encode AND TARGET lumaset_stream)
  add_executable(netout_probe ${CMAKE_CURRENT_LIST_DIR}/netout_probe.cpp)
  target_compile_definitions(netout_probe PRIVATE LUMASET_SOURCE_NAME="test/netout_probe")
  target_link_libraries(netout_probe PRIVATE lumaset_encode lumaset_stream lumaset_common)
endif()
