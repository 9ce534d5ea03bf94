# What the three programs share: the name their diagnostics give their source,
# the common headers, and the framework library (with its codec module, which
# the library loads at run time).
#
#   lumaset_program(<target> SOURCE_NAME <name> SOURCES <files>... [LIBRARIES <libs>...])
function(lumaset_program target)
  cmake_parse_arguments(ARG "" "SOURCE_NAME" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_compile_definitions(${target} PRIVATE LUMASET_SOURCE_NAME="${ARG_SOURCE_NAME}")
  target_link_libraries(${target} PRIVATE lumaset_common lumaset ${ARG_LIBRARIES})
  add_dependencies(${target} lumaset_codecs)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
