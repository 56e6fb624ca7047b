# cmake -P script run by CTest: formats each man page given in PAGES
# (a comma-separated list) with every groff warning enabled, and with mandoc's linter where
# mandoc is installed; any diagnostic fails the test.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" PAGES "${PAGES}")

find_program(GROFF groff)
find_program(MANDOC mandoc)
if(NOT GROFF AND NOT MANDOC)
  message("SKIPPED: neither groff nor mandoc is installed")
  return()
endif()

set(problems "")
foreach(page IN LISTS PAGES)
  if(GROFF)
    execute_process(COMMAND "${GROFF}" -ww -z -man "${page}"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
      string(APPEND problems "groff on ${page} (status ${rc}):\n${out}${err}\n")
    endif()
  endif()
  if(MANDOC)
    execute_process(COMMAND "${MANDOC}" -Tlint -Wwarning "${page}"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
      string(APPEND problems "mandoc on ${page} (status ${rc}):\n${out}${err}\n")
    endif()
  endif()
  # Every page must carry the sections a reader looks for.
  file(READ "${page}" text)
  foreach(section NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES NOTES)
    if(NOT text MATCHES "\n\\.SH \"?${section}\"?\n")
      string(APPEND problems "${page}: no ${section} section\n")
    endif()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "${problems}")
endif()
