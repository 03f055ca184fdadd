# Turns a firmware release folder into C++ source: cmake -DRELEASE_DIR=<folder>
# -DTEMPLATE=<carried_release.cpp.in> -DOUTPUT=<file.cpp> -P embed_release.cmake
#
# Refuses, naming the rule, a release whose files the updater cannot carry. The
# rules that need sums over the images are static_asserts in the generated source.

cmake_minimum_required(VERSION 3.20)

set(kTableRows 162)
set(kIdentWindowEnd 90112)     # 0x16000: the software image must cover the window
set(kImageLimit 262144)        # 0x40000: software below the hardware image, hardware in its 256 KB

function(refuse rule)
  message(FATAL_ERROR "Release ${RELEASE_DIR} refused: ${rule}")
endfunction()

foreach(var RELEASE_DIR TEMPLATE OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_release.cmake needs -D${var}=...")
  endif()
endforeach()

foreach(name release.txt unit_table.csv sw_image.bin hw_image.bin)
  if(NOT EXISTS "${RELEASE_DIR}/${name}" OR IS_DIRECTORY "${RELEASE_DIR}/${name}")
    refuse("the release file ${name} is missing")
  endif()
endforeach()

# Sizes that fit the unit's memory map.
file(SIZE "${RELEASE_DIR}/sw_image.bin" sw_size)
if(sw_size LESS_EQUAL kIdentWindowEnd OR sw_size GREATER kImageLimit)
  refuse("sw_image.bin must be longer than 0x16000 bytes (the end of the identification window) \
and at most 0x40000 bytes; it has ${sw_size}")
endif()
file(SIZE "${RELEASE_DIR}/hw_image.bin" hw_size)
if(hw_size EQUAL 0 OR hw_size GREATER kImageLimit)
  refuse("hw_image.bin must hold 1 to 0x40000 bytes; it has ${hw_size}")
endif()

# release.txt: model=Korrin|KorrinPro and revision=MMDDYY, one each.
file(STRINGS "${RELEASE_DIR}/release.txt" release_lines)
unset(release_model)
unset(release_revision)
foreach(line IN LISTS release_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  elseif(line MATCHES "^model=(.*)$" AND NOT DEFINED release_model)
    set(release_model "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^revision=(.*)$" AND NOT DEFINED release_revision)
    set(release_revision "${CMAKE_MATCH_1}")
  else()
    refuse("release.txt holds one model= and one revision= line only; unexpected: '${line}'")
  endif()
endforeach()
if(release_model STREQUAL "Korrin")
  set(release_is_pro 0)
elseif(release_model STREQUAL "KorrinPro")
  set(release_is_pro 1)
else()
  refuse("release.txt must name the model as model=Korrin or model=KorrinPro")
endif()
if(NOT release_revision MATCHES "^[0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F]$")
  refuse("release.txt must give the revision as revision= and six hexadecimal digits (MMDDYY)")
endif()

# A Pro release from 10/12/03 on converts the records to 2808 bytes, which the
# configuration area cannot hold whole: record 5, written at 0x76D8, runs to
# 0x81CF, and the software download then overwrites its last 464 bytes. The
# updater does as it must; whoever builds such a release is told.
string(SUBSTRING "${release_revision}" 0 4 release_month_day)
string(SUBSTRING "${release_revision}" 4 2 release_year)
math(EXPR release_order "(0x${release_year} << 16) | 0x${release_month_day}")
math(EXPR pro_layout_order "(0x03 << 16) | 0x1012")  # 10/12/03, year first as the updater compares
if(release_is_pro AND release_order GREATER_EQUAL pro_layout_order)
  message(WARNING "Release ${RELEASE_DIR} (Pro, revision ${release_revision}) converts the configuration "
    "records to 2808 bytes: record 5, written at 0x76D8, spans to 0x81CF, and the software download then "
    "overwrites its last 464 bytes, so the unit keeps a record 5 whose checksum no longer holds (and 164 "
    "bytes of the original record 5 exist nowhere else once the saved copy is removed). A write-back "
    "cut past 0x8000 changes the identification window: the next run asks the identification question. "
    "See docs/maintainer.md, \"Building an updater for another release\".")
endif()

# unit_table.csv: the header, then rows 0..161 in order; row numbers are what
# the identification's first-match search depends on.
file(STRINGS "${RELEASE_DIR}/unit_table.csv" table_lines)
list(LENGTH table_lines line_count)
if(line_count EQUAL 0)
  refuse("unit_table.csv must begin with the header row,id,rev,sum")
endif()
list(POP_FRONT table_lines header)
string(STRIP "${header}" header)
if(NOT header STREQUAL "row,id,rev,sum")
  refuse("unit_table.csv must begin with the header row,id,rev,sum")
endif()

set(table_ids "")
set(table_revs "")
set(table_sums "")
set(expected_row 0)
foreach(line IN LISTS table_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  # Leading zeros are captured apart from the digits that give the width.
  if(NOT line MATCHES "^([0-9]+),([0-9]+),0[xX](0*)([0-9a-fA-F]+),0[xX](0*)([0-9a-fA-F]+)$")
    refuse("unit_table.csv rows read row,id,0xREV,0xSUM (hexadecimal); not '${line}'")
  endif()
  set(row "${CMAKE_MATCH_1}")
  set(id "${CMAKE_MATCH_2}")
  set(rev "${CMAKE_MATCH_3}${CMAKE_MATCH_4}")
  set(rev_digits "${CMAKE_MATCH_4}")
  set(sum "${CMAKE_MATCH_5}${CMAKE_MATCH_6}")
  set(sum_digits "${CMAKE_MATCH_6}")
  if(NOT row STREQUAL "${expected_row}")
    refuse("unit_table.csv rows must be numbered 0 to 161 in order; row ${row} stands where row ${expected_row} belongs")
  endif()
  if(NOT id MATCHES "^[01]$")
    refuse("unit_table.csv row ${row}: id must be 0 (Korrin) or 1 (KorrinPro), not ${id}")
  endif()
  string(LENGTH "${rev_digits}" width)
  if(width GREATER 6)
    refuse("unit_table.csv row ${row}: rev must fit in 24 bits (0xMMDDYY)")
  endif()
  string(LENGTH "${sum_digits}" width)
  if(width GREATER 8)
    refuse("unit_table.csv row ${row}: sum must fit in 32 bits")
  endif()
  string(APPEND table_ids "${id}, ")
  string(APPEND table_revs "0x${rev}, ")
  string(APPEND table_sums "0x${sum}u, ")
  math(EXPR expected_row "${expected_row} + 1")
endforeach()
if(NOT expected_row EQUAL kTableRows)
  refuse("unit_table.csv must hold exactly ${kTableRows} rows, numbered 0 to 161; it has ${expected_row}")
endif()

# Image bytes as initialiser lists, 16 bytes to a line.
function(bytes_as_cpp file out_var)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "(................................)" "\\1\n" hex "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()
bytes_as_cpp("${RELEASE_DIR}/sw_image.bin" SW_BYTES)
bytes_as_cpp("${RELEASE_DIR}/hw_image.bin" HW_BYTES)

set(TABLE_IDS "${table_ids}")
set(TABLE_REVS "${table_revs}")
set(TABLE_SUMS "${table_sums}")
set(RELEASE_REVISION "0x${release_revision}")
set(RELEASE_IS_PRO "${release_is_pro}")

file(READ "${TEMPLATE}" template)
string(CONFIGURE "${template}" source @ONLY)
file(WRITE "${OUTPUT}" "${source}")
