# The carried release: korrin_release holds the files of KORRIN_RELEASE_DIR as
# constant data, regenerated whenever one of them changes. A release that breaks
# what the updater relies on stops the build with the rule it breaks.

set(korrin_release_files
  "${KORRIN_RELEASE_DIR}/release.txt"
  "${KORRIN_RELEASE_DIR}/unit_table.csv"
  "${KORRIN_RELEASE_DIR}/sw_image.bin"
  "${KORRIN_RELEASE_DIR}/hw_image.bin")
foreach(file IN LISTS korrin_release_files)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Release ${KORRIN_RELEASE_DIR} refused: the release file ${file} is missing")
  endif()
endforeach()
set(korrin_release_source "${CMAKE_CURRENT_BINARY_DIR}/generated/carried_release.cpp")
set(korrin_release_cmake_dir "${CMAKE_CURRENT_LIST_DIR}")
get_filename_component(korrin_release_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# A script, not a host program, so that the cross-build needs nothing built for the host.
add_custom_command(
  OUTPUT "${korrin_release_source}"
  COMMAND "${CMAKE_COMMAND}"
    "-DRELEASE_DIR=${KORRIN_RELEASE_DIR}"
    "-DTEMPLATE=${korrin_release_cmake_dir}/carried_release.cpp.in"
    "-DOUTPUT=${korrin_release_source}"
    -P "${korrin_release_cmake_dir}/embed_release.cmake"
  DEPENDS
    ${korrin_release_files}
    "${korrin_release_cmake_dir}/embed_release.cmake"
    "${korrin_release_cmake_dir}/carried_release.cpp.in"
  COMMENT "Embedding the firmware release from ${KORRIN_RELEASE_DIR}"
  VERBATIM)

add_library(korrin_release STATIC "${korrin_release_source}")
target_include_directories(korrin_release PUBLIC "${korrin_release_source_root}/src")

# Registered once the whole project is read: enable_testing() comes later in it.
function(korrin_add_release_check_test)
  if(CMAKE_TESTING_ENABLED)
    add_test(NAME release_refuses_broken_release
      COMMAND "${CMAKE_COMMAND}"
        "-DSOURCE_DIR=${korrin_release_source_root}"
        "-DRELEASE_DIR=${KORRIN_RELEASE_DIR}"
        "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/release_check"
        "-DGENERATOR=${CMAKE_GENERATOR}"
        "-DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}"
        "-DCXX_COMPILER=${CMAKE_CXX_COMPILER}"
        -P "${korrin_release_cmake_dir}/release_check_test.cmake")
    add_test(NAME windows_file_version_reads_revision_as_decimal
      COMMAND "${CMAKE_COMMAND}" -P "${korrin_release_cmake_dir}/version_numbers_test.cmake")
  endif()
endfunction()
cmake_language(DEFER CALL korrin_add_release_check_test)
