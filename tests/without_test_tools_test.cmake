# A user who only wants the programs has neither GoogleTest nor Python: the
# project must still configure and build them, and say what the tests would
# need. Configures the sources into a scratch folder with both hidden from
# CMake, then builds the programs there.
#
#   cmake -DSOURCE=<sources> -DSCRATCH=<folder> -DCOMPILER=<c++> -P without_test_tools_test.cmake

cmake_minimum_required(VERSION 3.21)

file(REMOVE_RECURSE ${SCRATCH})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${SCRATCH} -DCMAKE_CXX_COMPILER=${COMPILER}
          -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON
          -DPLIVEX_GOOGLETEST_SOURCE_DIR=${SCRATCH}/no-googletest-here
  RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE error)
if(failed)
  message(FATAL_ERROR "the configuration without GoogleTest and Python failed:\n${error}")
endif()
foreach(expected "libgtest-dev" "python3" "-DBUILD_TESTING=OFF")
  string(FIND "${error}" "${expected}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "the configuration does not tell the user about ${expected}:\n${error}")
  endif()
endforeach()

execute_process(
  COMMAND ${CMAKE_COMMAND} --build ${SCRATCH} --target plivex plivex-pack plivex-batch
  RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE error)
if(failed)
  message(FATAL_ERROR "the programs do not build without GoogleTest and Python:\n${output}${error}")
endif()
foreach(program plivex plivex-pack plivex-batch)
  if(NOT EXISTS ${SCRATCH}/${program})
    message(SEND_ERROR "${program} was not built")
  endif()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
