# Stream area: option store, select-loop records, components and the UDP datagram sender.
add_library(lumaset_stream STATIC
  ${CMAKE_CURRENT_LIST_DIR}/options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/io_event_data.cpp
  ${CMAKE_CURRENT_LIST_DIR}/component_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/av_component.cpp
  ${CMAKE_CURRENT_LIST_DIR}/udp_destination.cpp
  ${CMAKE_CURRENT_LIST_DIR}/udp_socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packet_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/send_pacer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/send_statistics.cpp
  ${CMAKE_CURRENT_LIST_DIR}/socket_network_datagram_out.cpp
)
target_include_directories(lumaset_stream PUBLIC ${LUMASET_FRAMEWORK_INCLUDE})
target_link_libraries(lumaset_stream PUBLIC lumaset_core)
target_include_directories(lumaset_stream PRIVATE ${PROJECT_SOURCE_DIR}/stream/common)
