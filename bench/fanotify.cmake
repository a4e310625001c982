# The fanotify interceptor against a minimal reference reader
# (bench/run-fanotify builds and runs it).
add_executable(fanotify_bench
  ${CMAKE_CURRENT_LIST_DIR}/fanotify_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reference_reader.c)
target_link_libraries(fanotify_bench PRIVATE nt_daemon Threads::Threads)
nt_warnings(fanotify_bench)
# Shares the private mount namespace and tmpfs helpers of the monitor tests.
target_include_directories(fanotify_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
