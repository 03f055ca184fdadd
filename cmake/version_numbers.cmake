# korrin_version_numbers(REVISION OUT): the numeric version Windows shows as
# "File version", MM.DD.YY.0, from a revision code MMDDYY. The revision's digit
# pairs read as the decimal numbers they spell (12/15/10 is 12.15.10.0), not
# as the hexadecimal bytes that hold them. OUT is empty when a pair is not
# decimal: no date has one, and Windows could not show it.
function(korrin_version_numbers revision out)
  set(numbers "")
  if(revision MATCHES "^([0-9][0-9])([0-9][0-9])([0-9][0-9])$")
    set(parts "")
    foreach(pair "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}" "${CMAKE_MATCH_3}")
      # "09" is 9: math(EXPR) has no octal, but no leading zero keeps it plain.
      string(REGEX REPLACE "^0" "" pair "${pair}")
      if(pair STREQUAL "")
        set(pair 0)
      endif()
      math(EXPR value "${pair}")
      list(APPEND parts "${value}")
    endforeach()
    list(APPEND parts 0)
    list(JOIN parts "," numbers)
  endif()
  set(${out} "${numbers}" PARENT_SCOPE)
endfunction()
