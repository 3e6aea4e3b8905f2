# What every build of this tree shares, whether it starts at the top
# (CMakeLists.txt) or at the library alone (Source/CMakeLists.txt): C++20,
# the default build type, the warnings, the sanitizer builds, and the two
# system libraries the library links. Included once, by the top-level
# project, before any target is made.

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

option(TICKERHALL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TICKERHALL_TSAN "Build with ThreadSanitizer" OFF)

add_compile_options(-Wall -Wextra)
if(TICKERHALL_SANITIZE AND TICKERHALL_TSAN)
  message(FATAL_ERROR "TICKERHALL_SANITIZE and TICKERHALL_TSAN exclude each other")
endif()
if(TICKERHALL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TICKERHALL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
# The sanitizer builds also check which thread runs the main-thread-only
# operations, as a debug build does, so that the test command runs them
# with the checks on.
if(TICKERHALL_SANITIZE OR TICKERHALL_TSAN)
  add_compile_definitions(TICKERHALL_THREAD_CHECKS)
endif()

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto SSL)
