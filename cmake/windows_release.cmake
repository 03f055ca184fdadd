# The Windows release of korrin-update, named after the carried release:
#   - version information in korrin-update.exe, from KORRIN_RELEASE_DIR/release.txt,
#     and its application manifest; the executable stripped;
#   - the target release-zip: build/<preset>/korrin-update-<revision>.zip holding
#     korrin-update-<revision>.exe, operator-guide.txt (docs/operator-guide.md as
#     plain text, made at build time) and SHA256SUMS.
# release.txt is read at configure time; changing it configures again.

include("${CMAKE_CURRENT_LIST_DIR}/version_numbers.cmake")

set(korrin_release_txt "${KORRIN_RELEASE_DIR}/release.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${korrin_release_txt}")
file(STRINGS "${korrin_release_txt}" korrin_release_lines)
set(KORRIN_MODEL "")
set(KORRIN_REVISION "")
foreach(line IN LISTS korrin_release_lines)
  string(STRIP "${line}" line)
  if(line MATCHES "^model=(Korrin|KorrinPro)$")
    set(KORRIN_MODEL "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^revision=([0-9a-fA-F][0-9a-fA-F])([0-9a-fA-F][0-9a-fA-F])([0-9a-fA-F][0-9a-fA-F])$")
    set(KORRIN_REVISION "${CMAKE_MATCH_1}${CMAKE_MATCH_2}${CMAKE_MATCH_3}")
    set(KORRIN_REVISION_DATE "${CMAKE_MATCH_1}/${CMAKE_MATCH_2}/${CMAKE_MATCH_3}")
  endif()
endforeach()
if(KORRIN_MODEL STREQUAL "" OR KORRIN_REVISION STREQUAL "")
  message(FATAL_ERROR "Release ${KORRIN_RELEASE_DIR} refused: release.txt must hold model=Korrin or "
    "model=KorrinPro and revision= with six hexadecimal digits (MMDDYY)")
endif()
# The numeric version Windows shows as "File version": MM.DD.YY.0.
korrin_version_numbers("${KORRIN_REVISION}" KORRIN_VERSION_NUMBERS)
if(KORRIN_VERSION_NUMBERS STREQUAL "")
  message(FATAL_ERROR "Release ${KORRIN_RELEASE_DIR} refused for Windows: the revision ${KORRIN_REVISION} "
    "is no date MMDDYY, so no file version can show it")
endif()
set(KORRIN_COMPANY_NAME "Korrin" CACHE STRING "CompanyName in the executable's version information")
set(KORRIN_COPYRIGHT "Copyright (C) Korrin. All rights reserved." CACHE STRING
  "LegalCopyright in the executable's version information")
if(KORRIN_MODEL STREQUAL "Korrin")
  set(KORRIN_MODEL_TEXT "base model Korrin")
else()
  set(KORRIN_MODEL_TEXT "Pro model KorrinPro")
endif()
set(KORRIN_RELEASE_NAME "korrin-update-${KORRIN_REVISION}")

set(korrin_version_rc "${CMAKE_CURRENT_BINARY_DIR}/generated/version_info.rc")
set(KORRIN_MANIFEST "${CMAKE_CURRENT_LIST_DIR}/korrin-update.manifest")
configure_file("${CMAKE_CURRENT_LIST_DIR}/version_info.rc.in" "${korrin_version_rc}" @ONLY)
enable_language(RC)
target_sources(korrin-update PRIVATE "${korrin_version_rc}")
set_property(SOURCE "${korrin_version_rc}" APPEND PROPERTY OBJECT_DEPENDS "${KORRIN_MANIFEST}")
# What operators get carries no symbol table: half the size, nothing lost to them.
target_link_options(korrin-update PRIVATE -s)

set(korrin_release_zip "${CMAKE_CURRENT_BINARY_DIR}/${KORRIN_RELEASE_NAME}.zip")
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_custom_command(
    OUTPUT "${korrin_release_zip}"
    COMMAND Python3::Interpreter "${CMAKE_CURRENT_LIST_DIR}/release_zip.py"
      --exe "$<TARGET_FILE:korrin-update>"
      --guide "${CMAKE_CURRENT_SOURCE_DIR}/docs/operator-guide.md"
      --name "${KORRIN_RELEASE_NAME}"
      --carries "firmware release ${KORRIN_REVISION_DATE} (${KORRIN_REVISION}) for the ${KORRIN_MODEL_TEXT}"
      --output "${korrin_release_zip}"
    DEPENDS korrin-update "${CMAKE_CURRENT_SOURCE_DIR}/docs/operator-guide.md" "${CMAKE_CURRENT_LIST_DIR}/release_zip.py"
    COMMENT "Packing ${KORRIN_RELEASE_NAME}.zip"
    VERBATIM)
  add_custom_target(release-zip DEPENDS "${korrin_release_zip}")
else()
  add_custom_target(release-zip
    COMMAND "${CMAKE_COMMAND}" -E echo "release-zip needs python3 (tools/install_deps.sh windows)"
    COMMAND "${CMAKE_COMMAND}" -E false
    VERBATIM)
endif()
