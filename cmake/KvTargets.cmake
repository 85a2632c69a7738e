# Warnings are errors in our own code (not in third-party headers).
set(KV_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Wunused -Woverloaded-virtual -Wformat=2 -Werror)

# kv_library(NAME SOURCES... [DEPS libs...]) : a static library of our own code.
function(kv_library name)
  cmake_parse_arguments(KV "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT KV_SOURCES)
    # nothing built here yet: a header-only / empty library keeps dependents linking
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    if(KV_DEPS)
      target_link_libraries(${name} INTERFACE ${KV_DEPS})
    endif()
    return()
  endif()
  add_library(${name} STATIC ${KV_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${name} PRIVATE ${KV_WARNINGS})
  if(KV_DEPS)
    target_link_libraries(${name} PUBLIC ${KV_DEPS})
  endif()
endfunction()

# kv_tests([PATTERN glob] DEPS libs...) : one test program per *_test.cpp (or per file
# matching PATTERN) in the calling folder.
function(kv_tests)
  cmake_parse_arguments(KV "" "PATTERN" "DEPS" ${ARGN})
  if(NOT KV_PATTERN)
    set(KV_PATTERN "*_test.cpp")
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${KV_PATTERN})
  foreach(src ${tests})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_compile_options(${name} PRIVATE ${KV_WARNINGS})
    target_compile_definitions(${name} PRIVATE
      KV_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KV_FIXTURES="${PROJECT_SOURCE_DIR}/tests/fixtures")
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${KV_DEPS} GTest::gtest_main GTest::gmock)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endforeach()
endfunction()
