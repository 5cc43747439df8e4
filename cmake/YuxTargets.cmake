# yux_library(<target> DEPS <targets...>)
# One library per folder: every .cpp of the calling folder belongs to it.
# A folder without sources yet becomes an INTERFACE target so that the
# dependency graph is declared from the start.
function(yux_library target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB _hdrs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(_srcs)
    add_library(${target} STATIC ${_srcs} ${_hdrs})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# yux_test(<name> DEPS <targets...>)
# One test executable per tests/ folder: every *_test.cpp of the folder.
# Each test case becomes its own CTest test so `ctest -j` spreads them.
function(yux_test name)
  cmake_parse_arguments(ARG "GUI" "" "DEPS;LABELS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp
                                    ${CMAKE_CURRENT_SOURCE_DIR}/*_testlib.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  if(ARG_GUI)
    target_link_libraries(${name} PRIVATE yux_testmain_gui yux_testsupport ${ARG_DEPS})
  else()
    target_link_libraries(${name} PRIVATE yux_testmain_core yux_testsupport ${ARG_DEPS})
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
  # The environment of every discovered test.  It is set after discovery:
  # gtest_discover_tests splits a value that holds ";" into several
  # properties, so an ENVIRONMENT list given there keeps its first entry only.
  set(_env "YUX_BUILD_DIR=${PROJECT_BINARY_DIR}"
           "YUX_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
           "QT_QPA_PLATFORM=offscreen"
           "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp")
  set(_envfile "${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake")
  file(WRITE "${_envfile}"
       "foreach(_t IN LISTS ${name}_TESTS)\n"
       "  set_tests_properties(\"\${_t}\" PROPERTIES ENVIRONMENT [==[${_env}]==])\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_envfile}")
endfunction()
