# overload_monitor: the overload line to the status LEDs and the state file.
add_executable(overload_monitor ${CMAKE_CURRENT_LIST_DIR}/vesk_overload_detector.cpp)
target_compile_definitions(overload_monitor PRIVATE LUMASET_SOURCE_NAME="vesk_overload_detector")
target_link_libraries(overload_monitor PRIVATE lumaset_gpio lumaset_common)
