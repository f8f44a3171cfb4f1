# quelnor_add_library(<name> [LINK ...]): a shared library whose sources are every .cpp under src/
# and whose public headers are include/<name>/. Debug builds carry the suffix d.
function(quelnor_add_library name)
  cmake_parse_arguments(ARG "" "" "PUBLIC_LINK;PRIVATE_LINK" ${ARGN})
  file(GLOB_RECURSE _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  file(GLOB_RECURSE _headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/*.h ${CMAKE_CURRENT_SOURCE_DIR}/src/*.h)
  add_library(${name} SHARED ${_sources} ${_headers})
  add_library(Quelnor::${name} ALIAS ${name})
  target_include_directories(${name}
    PUBLIC
      $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE
      ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LINK} PRIVATE ${ARG_PRIVATE_LINK})
  set_target_properties(${name} PROPERTIES
    DEBUG_POSTFIX d
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${name})
  target_compile_definitions(${name} PRIVATE $<$<CONFIG:Debug>:QUELNOR_DEBUG_BUILD>)
endfunction()
