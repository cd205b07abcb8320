# The parallel codec's interrupt test runs the real command.
if(TARGET zulz_parallel_test AND TARGET zucomp)
  add_dependencies(zulz_parallel_test zucomp)
  target_compile_definitions(zulz_parallel_test PRIVATE ZUCOMP_BIN="$<TARGET_FILE:zucomp>")
endif()
