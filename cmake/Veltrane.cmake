# Build conventions shared by every folder.
#
# Each folder under src/ is one static library named after the folder (Platform/Json -> PlatformJson)
# and built from every .cpp/.c file in it; each folder under tests/ is one GoogleTest executable
# labelled with the folder's name; each .cpp under bench/ is one Google Benchmark executable.

add_library(veltrane_options INTERFACE)
target_compile_options(veltrane_options INTERFACE
  -Wall -Wextra -Wno-missing-field-initializers
  # Results must be bit-reproducible: no fused multiply-add unless code asks for it.
  -ffp-contract=off)

# Sanitizer builds: -DVELTRANE_SANITIZE=address (AddressSanitizer with UndefinedBehaviorSanitizer and
# leak checking) or thread (ThreadSanitizer) instruments every target of the build. Each needs its
# own build folder; the suppression files for the libraries beneath us are in tools/sanitizers/.
set(VELTRANE_SANITIZE "" CACHE STRING "Sanitizer for the whole build: empty, address or thread")
set_property(CACHE VELTRANE_SANITIZE PROPERTY STRINGS "" address thread)
set(veltrane_sanitizer_flags_address -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(veltrane_sanitizer_flags_thread -fsanitize=thread)
if(VELTRANE_SANITIZE)
  if(NOT DEFINED veltrane_sanitizer_flags_${VELTRANE_SANITIZE})
    message(FATAL_ERROR "VELTRANE_SANITIZE must be empty, address or thread, not ${VELTRANE_SANITIZE}")
  endif()
  add_compile_options(${veltrane_sanitizer_flags_${VELTRANE_SANITIZE}})
  add_link_options(${veltrane_sanitizer_flags_${VELTRANE_SANITIZE}})
endif()

# veltrane_own_sanitizer(target address|thread): a test executable that always runs under one
# sanitizer. In a plain build it gets that sanitizer's flags; in a build under the same sanitizer it
# already has them. Builds under the other sanitizer must not define it at all (the two cannot be
# linked into one program): guard its definition with VELTRANE_OWN_SANITIZER_<KIND> below.
function(veltrane_own_sanitizer target kind)
  if(NOT VELTRANE_SANITIZE)
    target_compile_options(${target} PRIVATE ${veltrane_sanitizer_flags_${kind}} -g)
    target_link_options(${target} PRIVATE ${veltrane_sanitizer_flags_${kind}})
  endif()
endfunction()
foreach(kind address thread)
  string(TOUPPER ${kind} upper)
  if(NOT VELTRANE_SANITIZE OR VELTRANE_SANITIZE STREQUAL kind)
    set(VELTRANE_OWN_SANITIZER_${upper} ON)
  else()
    set(VELTRANE_OWN_SANITIZER_${upper} OFF)
  endif()
endforeach()

# Folder path relative to a root, turned into a target name: "Platform/Json" -> "PlatformJson".
function(veltrane_folder_name root out)
  file(RELATIVE_PATH rel ${root} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "" name "${rel}")
  set(${out} ${name} PARENT_SCOPE)
endfunction()

# veltrane_library([NAME n] [DEPS public...] [PRIVATE_DEPS private...])
function(veltrane_library)
  cmake_parse_arguments(A "" "NAME" "DEPS;PRIVATE_DEPS" ${ARGN})
  if(A_NAME)
    set(name ${A_NAME})
  else()
    veltrane_folder_name(${PROJECT_SOURCE_DIR}/src name)
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${A_DEPS} PRIVATE veltrane_options ${A_PRIVATE_DEPS})
  set(VELTRANE_LAST_TARGET ${name} PARENT_SCOPE)
endfunction()

# veltrane_test_folder([NAME n] DEPS libs... [LABELS extra...] [PROPERTIES ...])
# One executable from every .cpp in the folder, plus tests/TestEnvironment.cpp (the build tree's
# cache folder); tests are discovered when CTest runs.
function(veltrane_test_folder)
  cmake_parse_arguments(A "" "NAME" "DEPS;LABELS;SOURCES" ${ARGN})
  if(A_NAME)
    set(name ${A_NAME})
  else()
    veltrane_folder_name(${PROJECT_SOURCE_DIR}/tests name)
  endif()
  if(A_SOURCES)
    set(srcs ${A_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_executable(test_${name} ${srcs} ${PROJECT_SOURCE_DIR}/tests/TestEnvironment.cpp)
  target_link_libraries(test_${name} PRIVATE ${A_DEPS} GTest::gtest_main GTest::gmock veltrane_options)
  target_compile_definitions(test_${name} PRIVATE
    VELTRANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}" VELTRANE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${name};${A_LABELS}")
  set(VELTRANE_LAST_TARGET test_${name} PARENT_SCOPE)
endfunction()

# veltrane_benchmark(file.cpp DEPS libs...): bench_<file> from one source.
function(veltrane_benchmark src)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  get_filename_component(stem ${src} NAME_WE)
  add_executable(bench_${stem} ${src})
  target_link_libraries(bench_${stem} PRIVATE ${A_DEPS} benchmark::benchmark veltrane_options)
endfunction()

# Adds every immediate subfolder that has a CMakeLists.txt.
function(veltrane_add_subfolders)
  file(GLOB children CONFIGURE_DEPENDS LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
