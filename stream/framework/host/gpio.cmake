# GPIO lines (sysfs) and the wake lock: the services the overload monitor uses.
add_library(lumaset_gpio STATIC
  ${CMAKE_CURRENT_LIST_DIR}/gpio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wake_lock.cpp)
target_include_directories(lumaset_gpio PUBLIC ${LUMASET_FRAMEWORK_INCLUDE})
target_link_libraries(lumaset_gpio PUBLIC lumaset_core)
target_include_directories(lumaset_gpio PRIVATE ${PROJECT_SOURCE_DIR}/stream/common)
