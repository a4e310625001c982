# The fanotify interceptor against a minimal reference reader
# (bench/run-fanotify builds and runs it).
add_executable(fanotify_bench
  ${CMAKE_CURRENT_LIST_DIR}/fanotify_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reference_reader.c
  ${PROJECT_SOURCE_DIR}/tests/support/temp_dir.cpp)
target_link_libraries(fanotify_bench PRIVATE nt_daemon Boost::filesystem Threads::Threads)
nt_warnings(fanotify_bench)
# Shares the temporary directory, private mount namespace and tmpfs helpers
# of the tests (tests/support).
target_include_directories(fanotify_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
