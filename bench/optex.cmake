# The cross-process lock against std::mutex and a process-shared pthread mutex.
add_executable(optex_bench ${CMAKE_CURRENT_LIST_DIR}/optex_bench.cpp)
target_link_libraries(optex_bench PRIVATE instances benchmark::benchmark)
