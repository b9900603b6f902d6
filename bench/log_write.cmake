# bench_log_write compares the logger with spdlog's asynchronous file logger
# (Debian libspdlog-dev, needed by this benchmark only).
find_package(spdlog REQUIRED)
target_link_libraries(bench_log_write PRIVATE spdlog::spdlog)
