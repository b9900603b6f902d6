# bench_discovery_attack plays the devices and the hostile host with the tools built
# beside it.
if(TARGET brenu-devsim AND TARGET brenu-hostile)
  add_dependencies(bench_discovery_attack brenu-devsim brenu-hostile)
endif()
