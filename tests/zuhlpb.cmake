# The help module's test installs one stand-in program as both outside
# viewers ("gtrc" and "gtr") into the temporary installer directories it makes.
add_executable(zuhlpb_viewer_standin ${CMAKE_CURRENT_SOURCE_DIR}/helpers/viewer_standin.cpp)
add_dependencies(zuhlpb_test zuhlpb_viewer_standin)
target_compile_definitions(zuhlpb_test PRIVATE ZUHLPB_VIEWER_STANDIN="$<TARGET_FILE:zuhlpb_viewer_standin>")
