# cmake -P script, the test skip_reasons: reads the JUnit file of the last
# test run and prints every skipped test with the reason the test gave.
# CTest shows neither a skipped test's output nor its reason, so the test
# presets run this after the suite (`ctest --preset release-skipped`). A
# skipped test that gives no reason fails this test.
#   -DRESULTS=  the JUnit file written by the test preset
cmake_minimum_required(VERSION 3.25)

if(NOT EXISTS "${RESULTS}")
  message(FATAL_ERROR "no test results in ${RESULTS}: run `ctest --preset <preset>` first")
endif()
file(READ "${RESULTS}" xml)

# The text of an XML attribute or element, masks undone first.
function(xml_text out text)
  string(REPLACE "<semicolon>" ";" text "${text}")
  string(REPLACE "<open>" "[" text "${text}")
  string(REPLACE "<close>" "]" text "${text}")
  string(REPLACE "&lt;" "<" text "${text}")
  string(REPLACE "&gt;" ">" text "${text}")
  string(REPLACE "&quot;" "\"" text "${text}")
  string(REPLACE "&apos;" "'" text "${text}")
  string(REPLACE "&amp;" "&" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# One chunk per test case; ";" would split the list, and brackets change how
# CMake splits it, so they are masked.
string(REPLACE ";" "<semicolon>" xml "${xml}")
string(REPLACE "[" "<open>" xml "${xml}")
string(REPLACE "]" "<close>" xml "${xml}")
string(REPLACE "<testcase " ";<testcase " cases "${xml}")
set(report "")
set(skipped 0)
set(unexplained "")
foreach(case IN LISTS cases)
  if(NOT case MATCHES "<skipped" OR NOT case MATCHES "^<testcase name=\"([^\"]*)\"")
    continue()
  endif()
  xml_text(name "${CMAKE_MATCH_1}")
  set(out "")
  if(case MATCHES "<system-out>(.*)</system-out>")
    xml_text(out "${CMAKE_MATCH_1}")
  endif()
  set(reason "")
  # googletest: "file:line: Skipped\n<message lines>\n[  SKIPPED ] name"
  string(FIND "${out}" ": Skipped\n" from)
  if(from GREATER -1)
    math(EXPR from "${from} + 10")
    string(SUBSTRING "${out}" ${from} -1 reason)
    string(FIND "${reason}" "\n[  SKIPPED ]" to)
    string(SUBSTRING "${reason}" 0 ${to} reason)
  # the cmake -P tests: a line "SKIPPED: <reason>"
  elseif(out MATCHES "(^|\n)SKIPPED: ([^\n]*)")
    set(reason "${CMAKE_MATCH_2}")
  endif()
  string(STRIP "${reason}" reason)
  string(REPLACE "\n" " " reason "${reason}")
  math(EXPR skipped "${skipped} + 1")
  if(reason STREQUAL "")
    set(reason "(no reason given)")
    list(APPEND unexplained "${name}")
  endif()
  string(APPEND report "  ${name}: ${reason}\n")
endforeach()

if(skipped EQUAL 0)
  message("No test was skipped.")
else()
  message("Skipped tests (${skipped}) and why:\n${report}")
endif()
if(unexplained)
  message(FATAL_ERROR "skipped without a reason: ${unexplained}")
endif()
