# GoogleTest is built from Debian's source copy, with our own compiler and
# sanitizer flags, so the same tree serves native, sanitizer and cross builds.
set(KIT_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KIT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_gtest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# kit_add_gtest(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [ENV <A=1;B=2>]
#               [LABELS <labels...>])
function(kit_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(KIT_ARTIFACT_TARGETS)
    add_dependencies(${name} ${KIT_ARTIFACT_TARGETS})
  endif()
  # What every test shares: expected-entry builders, skips, the board fault table.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  set(mods "")
  foreach(kv IN LISTS T_ENV)
    string(REGEX REPLACE "=.*" "" k "${kv}")
    string(REGEX REPLACE "^[^=]*=" "" v "${kv}")
    list(APPEND mods "${k}=set:${v}")
  endforeach()
  # ENVIRONMENT keeps only the first variable of a list on CMake 3.25;
  # ENVIRONMENT_MODIFICATION keeps them all.
  set(props TIMEOUT ${T_TIMEOUT})
  if(mods)
    list(APPEND props ENVIRONMENT_MODIFICATION "${mods}")
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ${props})
endfunction()
