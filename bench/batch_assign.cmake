# bench_batch_assign runs the brenu-search program and the simulator from its own directory.
if(TARGET brenu-search AND TARGET brenu-devsim)
  add_dependencies(bench_${name} brenu-search brenu-devsim)
endif()
if(TARGET brenu-link-send)
  add_dependencies(bench_${name} brenu-link-send)
endif()
