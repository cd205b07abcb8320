# Whole-program tests of zucomp/zuuncomp run the real executable; they find it
# through a compile definition and make their own links to it under the
# command names they test.
if(TARGET zucs_test AND TARGET zucomp)
  add_dependencies(zucs_test zucomp)
  target_compile_definitions(zucs_test PRIVATE ZUCOMP_BIN="$<TARGET_FILE:zucomp>")
endif()
