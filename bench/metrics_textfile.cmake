# bench_metrics_textfile times brenu-search's metrics round.
target_link_libraries(bench_${name} PRIVATE brenu_cli)
