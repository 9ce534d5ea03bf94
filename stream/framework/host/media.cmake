# Buffers, pool, memory views, sinks and the video scaler.

# Debian's Android libutils (RefBase, sp) lives in a private folder of the
# multiarch library directory.
find_path(ANDROID_UTILS_INCLUDE utils/RefBase.h PATHS /usr/include/android REQUIRED NO_DEFAULT_PATH)
find_library(ANDROID_UTILS_LIBRARY NAMES utils REQUIRED NO_DEFAULT_PATH
             PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android /usr/lib/android /usr/lib64/android)
if(NOT TARGET android::utils)
  add_library(android::utils SHARED IMPORTED)
  set_target_properties(android::utils PROPERTIES IMPORTED_LOCATION ${ANDROID_UTILS_LIBRARY})
  target_include_directories(android::utils SYSTEM INTERFACE ${ANDROID_UTILS_INCLUDE})
endif()

find_path(LIBYUV_INCLUDE libyuv.h REQUIRED)
# The static archive where there is one: the process then loads neither
# libyuv nor the JPEG library it pulls in, a cost paid at every start.
find_library(LIBYUV_LINK_LIBRARY NAMES libyuv.a yuv REQUIRED)

add_library(lumaset_media STATIC
  ${CMAKE_CURRENT_LIST_DIR}/buffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/buffer_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/buffer_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metadata_memory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_file_sink.cpp
  ${CMAKE_CURRENT_LIST_DIR}/c2d_library.cpp
  ${CMAKE_CURRENT_LIST_DIR}/c2d_workers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scratch_memory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/video_scaler.cpp
)
target_include_directories(lumaset_media PUBLIC ${LUMASET_FRAMEWORK_INCLUDE})
target_include_directories(lumaset_media SYSTEM PRIVATE ${LIBYUV_INCLUDE})
target_link_libraries(lumaset_media PUBLIC lumaset_core android::utils Threads::Threads PRIVATE ${LIBYUV_LINK_LIBRARY})
