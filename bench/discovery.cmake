# bench_discovery plays the devices with the simulator built beside it.
if(TARGET brenu-devsim)
  add_dependencies(bench_discovery brenu-devsim)
endif()
