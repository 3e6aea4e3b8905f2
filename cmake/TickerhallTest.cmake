# GoogleTest and the one way this tree registers a test program; included
# by tests/CMakeLists.txt, and by Source/CMakeLists.txt when the library is
# built alone, before the test folders are added.
find_package(GTest REQUIRED)
include(GoogleTest)

# One test program per unit; the ones that race threads carry the label
# "threads" so that a ThreadSanitizer build can run just them.
function(tickerhall_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  # An empty label list would vanish from the property list and shift the
  # rest (TIMEOUT would become a label): only name labels when there are some.
  set(properties TIMEOUT 300)
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} PROPERTIES ${properties} DISCOVERY_TIMEOUT 60)
endfunction()
