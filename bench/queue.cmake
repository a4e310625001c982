# The event queue's per-event costs: push of a new and of a waiting path,
# and the ScanSet test, with small and large configurations.
if(TARGET benchmark::benchmark)
  add_executable(event_queue_bench ${CMAKE_CURRENT_LIST_DIR}/event_queue_bench.cpp)
  target_link_libraries(event_queue_bench PRIVATE nt_daemon benchmark::benchmark)
  nt_warnings(event_queue_bench)
else()
  message(WARNING "Google Benchmark not found: event_queue_bench is not built")
endif()
