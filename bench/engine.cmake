# Digest engine against the reference libraries, on the same buffers.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(ZLIB REQUIRED)
add_executable(engine_bench ${CMAKE_CURRENT_LIST_DIR}/engine_bench.cpp)
target_link_libraries(engine_bench PRIVATE engine benchmark::benchmark OpenSSL::Crypto ZLIB::ZLIB)
