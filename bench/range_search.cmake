# bench_range_search plays the devices with the simulator built beside it.
if(TARGET brenu-devsim)
  add_dependencies(bench_range_search brenu-devsim)
endif()
