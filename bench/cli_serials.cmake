# bench_cli_serials parses brenu-search's command line with the program's own parser.
if(TARGET brenu_cli)
  target_link_libraries(bench_${name} PRIVATE brenu_cli)
endif()
