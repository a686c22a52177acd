# nx_library(<target> [DEPS <libs>...])
# One static library per folder: every .cpp of the folder, the folder itself
# as its public include directory, and only the layers below it as links.
function(nx_library target)
  cmake_parse_arguments(NX "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    # A layer with headers only so far.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${NX_DEPS})
    return()
  endif()
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${NX_DEPS})
  nx_library_unity(${target})
endfunction()

# nx_library_unity(<target>)
# Compiles the library's files in batches of NX_UNITY_BATCH (16), one translation unit per batch:
# the standard and engine headers are parsed once per batch instead of once per file. So the
# file-local names (anonymous namespace, static) of one library must be distinct: two files
# defining the same one fail as "redefinition of ..." in build/<folder>/CMakeFiles/<target>.dir/
# Unity/unity_<n>_cxx.cxx, naming both files. A clash shows only when the two files share a
# batch; -DNX_UNITY_BATCH=0 puts each library into one batch and shows every clash at once,
# -DNX_UNITY=OFF compiles file by file.
function(nx_library_unity target)
  if(NX_UNITY)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${NX_UNITY_BATCH})
  endif()
endfunction()

# nx_tests(<target> LABEL <label> DEPS <libs>... [SHARDS <n>] [ALONE <files>...])
# One test executable per source folder, from every .cpp in the test folder, built as a
# unity build (see nx_test_unity) and run as <n> shards (see nx_test_shards).
function(nx_tests target)
  cmake_parse_arguments(NX "" "LABEL;SHARDS" "DEPS;ALONE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  if(NOT NX_SHARDS)
    set(NX_SHARDS 1)
  endif()
  add_executable(${target} ${srcs})
  target_link_libraries(${target} PRIVATE ${NX_DEPS} GTest::gtest_main GTest::gtest Threads::Threads)
  nx_test_unity(${target} ALONE ${NX_ALONE})
  nx_test_shards(${target} LABEL ${NX_LABEL} SHARDS ${NX_SHARDS})
endfunction()

# nx_test_shards(<target> LABEL <label> SHARDS <n> [EXTRA_ARGS <args>...])
# Registers the tests of <target> with CTest as <n> processes ("<target>:<i>/<n>"), gtest
# dealing the tests out round-robin: most tests take milliseconds, so one process per test
# cost more in start-up than the tests themselves. A shard's output names every failing
# test. With NX_TEST_PER_PROCESS on, every test is its own CTest test (ctest -R Suite.Test).
function(nx_test_shards target)
  cmake_parse_arguments(NX "" "LABEL;SHARDS" "EXTRA_ARGS" ${ARGN})
  if(NX_TEST_PER_PROCESS)
    gtest_discover_tests(${target} EXTRA_ARGS ${NX_EXTRA_ARGS} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
      PROPERTIES LABELS ${NX_LABEL} TIMEOUT 300)
    return()
  endif()
  math(EXPR last "${NX_SHARDS} - 1")
  foreach(i RANGE ${last})
    add_test(NAME ${target}:${i}/${NX_SHARDS} COMMAND ${target} ${NX_EXTRA_ARGS})
    # The heavier executables have more shards: CTest starts those first.
    set_tests_properties(${target}:${i}/${NX_SHARDS} PROPERTIES LABELS ${NX_LABEL} TIMEOUT 900
      COST ${NX_SHARDS} ENVIRONMENT "GTEST_TOTAL_SHARDS=${NX_SHARDS};GTEST_SHARD_INDEX=${i}")
  endforeach()
endfunction()

# nx_test_unity(<target> [ALONE <files>...])
# Compiles the test files of <target> in batches of eight, one translation unit per batch:
# gtest, the standard headers and the engine's headers are parsed, and their templates
# instantiated, once per batch instead of once per file. So the file-local names (anonymous
# namespace, static) of the files of one test folder must be distinct; a file listed under
# ALONE is compiled on its own.
function(nx_test_unity target)
  cmake_parse_arguments(NX "" "" "ALONE" ${ARGN})
  if(NOT NX_UNITY)
    return()
  endif()
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  # Each test file is included once, by its batch: a fixture in an anonymous namespace is not
  # the header hazard this warning is about.
  target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
  foreach(f ${NX_ALONE})
    set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/${f} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endforeach()
endfunction()
