# The end-to-end benchmark (bench/run-e2e): the workload generator and the
# reference reader's harness. The daemon and the peers are built
# from the main tree.
add_executable(e2e_generator ${CMAKE_CURRENT_LIST_DIR}/e2e_generator.cpp)
nt_warnings(e2e_generator)

add_executable(e2e_reference
  ${CMAKE_CURRENT_LIST_DIR}/e2e_reference.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reference_reader.c)
target_link_options(e2e_reference PRIVATE -Wl,--wrap=readlink)
nt_warnings(e2e_reference)
