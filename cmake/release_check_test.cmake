# Configures the project on broken copies of the carried release and checks that
# building korrin_release stops, naming the rule each copy breaks.
#   cmake -DSOURCE_DIR=... -DRELEASE_DIR=... -DWORK_DIR=... -DGENERATOR=...
#         -DMAKE_PROGRAM=... -DCXX_COMPILER=... -P release_check_test.cmake

cmake_minimum_required(VERSION 3.20)

foreach(var SOURCE_DIR RELEASE_DIR WORK_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "release_check_test.cmake needs -D${var}=...")
  endif()
endforeach()

set(broken "${WORK_DIR}/release")
set(build "${WORK_DIR}/build")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${broken}")
foreach(name release.txt unit_table.csv sw_image.bin hw_image.bin)
  file(COPY "${RELEASE_DIR}/${name}" DESTINATION "${broken}")
endforeach()
file(READ "${RELEASE_DIR}/unit_table.csv" good_table)
file(READ "${RELEASE_DIR}/release.txt" good_release)

set(configure_args -S "${SOURCE_DIR}" -B "${build}" -G "${GENERATOR}"
  "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DKORRIN_BUILD_TESTS=OFF "-DKORRIN_RELEASE_DIR=${broken}")
if(MAKE_PROGRAM)
  list(APPEND configure_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" ${configure_args}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configuring on the release copy failed:\n${output}")
endif()

# Builds korrin_release and expects it to fail with `rule` in its output
# (compared with white space collapsed: CMake wraps long messages).
function(expect_refusal case rule)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}" --target korrin_release
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \t\r\n]+" " " flat "${output}")
  string(FIND "${flat}" "${rule}" at)
  if(result EQUAL 0)
    message(FATAL_ERROR "${case}: korrin_release was built from a broken release")
  elseif(at EQUAL -1)
    message(FATAL_ERROR "${case}: the build failed without naming the rule \"${rule}\":\n${output}")
  endif()
  message(STATUS "${case}: refused with \"${rule}\"")
endfunction()

# A table that lost its last row: found by the script before anything is compiled.
string(REGEX REPLACE "161,[^\n]*\n?$" "" short_table "${good_table}")
file(WRITE "${broken}/unit_table.csv" "${short_table}")
expect_refusal("table of 161 rows" "unit_table.csv must hold exactly 162 rows")

# Base-model images labelled as a Pro release: a freshly updated unit would be
# identified as the other model. Only the compiler, summing the window, sees it.
file(WRITE "${broken}/unit_table.csv" "${good_table}")
string(REPLACE "model=Korrin\n" "model=KorrinPro\n" pro_release "${good_release}")
if(pro_release STREQUAL good_release)
  string(REPLACE "model=KorrinPro\n" "model=Korrin\n" pro_release "${good_release}")
endif()
file(WRITE "${broken}/release.txt" "${pro_release}")
expect_refusal("release of the other model"
  "the first unit table row with the identification window sum is not of the release's model")

# A Pro release from 10/12/03 on: the build warns of what becomes of record 5.
# (These images are the base model's, so the build then stops at the model rule.)
file(WRITE "${broken}/release.txt" "model=KorrinPro\nrevision=101203\n")
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}" --target korrin_release
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(REGEX REPLACE "[ \t\r\n]+" " " flat "${output}")
string(FIND "${flat}" "record 5, written at 0x76D8, spans to 0x81CF" at)
if(at EQUAL -1)
  message(FATAL_ERROR "Pro release 101203: no warning about record 5:\n${output}")
endif()
message(STATUS "Pro release 101203: warned about record 5")

file(REMOVE_RECURSE "${WORK_DIR}")
