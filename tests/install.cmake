# Install test: a staged install (DESTDIR) into a temporary prefix must hold
# exactly the commands, man pages, library, headers under include/zu/, CMake
# package and zu.pc; a small program is then built against it through
# find_package(zu) and through pkg-config, and must round-trip a sample file.
# Included by tests/CMakeLists.txt it adds the test; run with -P it is the test.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  add_test(NAME install_consumer COMMAND ${CMAKE_COMMAND} -DZU_BUILD=${PROJECT_BINARY_DIR}
    -DZU_SOURCE=${PROJECT_SOURCE_DIR} -DZU_WORK=${CMAKE_CURRENT_BINARY_DIR}/install_test
    -DZU_CXX=${CMAKE_CXX_COMPILER} -DZU_GENERATOR=${CMAKE_GENERATOR}
    -DZU_MAKE=${CMAKE_MAKE_PROGRAM}
    -DZU_LIBDIR=${CMAKE_INSTALL_LIBDIR} -DZU_CONFIG=$<LOWER_CASE:$<CONFIG>>
    -P ${CMAKE_CURRENT_LIST_FILE})
  set_tests_properties(install_consumer PROPERTIES TIMEOUT 300)
  return()
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(stage ${ZU_WORK}/stage)
set(prefix ${ZU_WORK}/prefix)
set(root ${stage}${prefix})
file(REMOVE_RECURSE ${ZU_WORK})
run(${CMAKE_COMMAND} -E env DESTDIR=${stage} ${CMAKE_COMMAND} --install ${ZU_BUILD}
    --prefix ${prefix})

# Relative to the prefix, a file outside it begins with ../
file(GLOB_RECURSE got LIST_DIRECTORIES false RELATIVE ${root} ${stage}/*)
file(GLOB headers RELATIVE ${ZU_SOURCE}/include ${ZU_SOURCE}/include/*.h)
list(TRANSFORM headers PREPEND include/zu/)
set(want bin/zucomp bin/zuuncomp share/man/man1/zucomp.1 share/man/man1/zuuncomp.1 ${headers})
foreach(f libzu.a pkgconfig/zu.pc cmake/zu/zuConfig.cmake cmake/zu/zuConfigVersion.cmake
          cmake/zu/zuTargets.cmake cmake/zu/zuTargets-${ZU_CONFIG}.cmake)
  list(APPEND want ${ZU_LIBDIR}/${f})
endforeach()
list(SORT got)
list(SORT want)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "installed files:\n${got}\nexpected:\n${want}")
endif()
file(READ_SYMLINK ${root}/bin/zuuncomp link)
if(NOT link STREQUAL "zucomp")
  message(FATAL_ERROR "zuuncomp links to '${link}', not to zucomp")
endif()

# The same program twice: a CMake project finding only the staged tree, and
# a plain compiler call with pkg-config's flags (g++'s default standard).
run(${CMAKE_COMMAND} -S ${ZU_SOURCE}/tests/install -B ${ZU_WORK}/cmake -G ${ZU_GENERATOR}
    -DCMAKE_MAKE_PROGRAM=${ZU_MAKE} -DCMAKE_CXX_COMPILER=${ZU_CXX} -DCMAKE_PREFIX_PATH=${root}
    -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DCMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF)
run(${CMAKE_COMMAND} --build ${ZU_WORK}/cmake)
# The sysroot is put before the paths zu.pc names: they must lie in the prefix.
find_program(pkgconfig NAMES pkg-config pkgconf REQUIRED)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${root}/${ZU_LIBDIR}/pkgconfig
    PKG_CONFIG_SYSROOT_DIR=${stage} ${pkgconfig} --cflags --libs zu)
separate_arguments(flags UNIX_COMMAND "${out}")
file(MAKE_DIRECTORY ${ZU_WORK}/pc)
run(${ZU_CXX} ${ZU_SOURCE}/tests/install/consumer.cpp ${flags} -o ${ZU_WORK}/pc/consumer)

foreach(way cmake pc)
  configure_file(${ZU_SOURCE}/tests/data/alice29.txt ${ZU_WORK}/${way}/sample COPYONLY)
  run(${ZU_WORK}/${way}/consumer ${ZU_WORK}/${way}/sample ${ZU_WORK}/${way}/restored)
  run(${CMAKE_COMMAND} -E compare_files ${ZU_SOURCE}/tests/data/alice29.txt
      ${ZU_WORK}/${way}/restored)
endforeach()
file(REMOVE_RECURSE ${ZU_WORK})
