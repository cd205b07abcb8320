# The help module's test drives stand-ins for the two outside viewer programs;
# it finds them through compile definitions and installs them (as "gtrc" and
# "gtr") into the temporary installer directories it makes.
add_executable(zuhlpb_gtrc_standin ${CMAKE_CURRENT_SOURCE_DIR}/helpers/gtrc_standin.cpp)
add_executable(zuhlpb_gtr_standin ${CMAKE_CURRENT_SOURCE_DIR}/helpers/gtr_standin.cpp)
if(TARGET zuhlpb_test)
  add_dependencies(zuhlpb_test zuhlpb_gtrc_standin zuhlpb_gtr_standin)
  target_compile_definitions(zuhlpb_test PRIVATE
    ZUHLPB_GTRC_STANDIN="$<TARGET_FILE:zuhlpb_gtrc_standin>"
    ZUHLPB_GTR_STANDIN="$<TARGET_FILE:zuhlpb_gtr_standin>")
endif()
