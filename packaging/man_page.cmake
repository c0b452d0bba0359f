cmake_minimum_required(VERSION 3.25)
# Renders one man page: the scdoc source SOURCE, with each line "%include NAME" replaced by the
# file NAME beside it and @VERSION@ by VERSION, turned into roff at OUTPUT by SCDOC, linted by
# MANDOC when there is one (a warning fails the build), and compressed to OUTPUT.gz.
file(READ ${SOURCE} text)
get_filename_component(dir ${SOURCE} DIRECTORY)
string(REGEX MATCHALL "%include [^\n]+" includes "${text}")
foreach(line IN LISTS includes)
  string(REPLACE "%include " "" name "${line}")
  file(READ ${dir}/${name} part)
  string(REGEX REPLACE "\n$" "" part "${part}")
  string(REPLACE "${line}" "${part}" text "${text}")
endforeach()
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
file(WRITE ${OUTPUT}.scd "${text}")

execute_process(COMMAND ${SCDOC} INPUT_FILE ${OUTPUT}.scd OUTPUT_VARIABLE roff
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${err}")
endif()
# scdoc opens a paragraph after every heading and before every end of an indented block, where
# it is empty; move those after the block's end and drop the rest, as a hand-written page has it.
string(REGEX REPLACE "\n\.P\n\.RE\n" "\n.RE\n.P\n" roff "${roff}")
string(REGEX REPLACE "\n\.P\n\.P\n" "\n.P\n" roff "${roff}")
string(REGEX REPLACE "\n\.P(\n\.S[HS] )" "\\1" roff "${roff}")
string(REGEX REPLACE "(\n\.S[HS] [^\n]*)\n\.P\n" "\\1\n" roff "${roff}")
string(REGEX REPLACE "\n\.P\n$" "\n" roff "${roff}")
file(WRITE ${OUTPUT} "${roff}")
if(MANDOC)
  execute_process(COMMAND ${MANDOC} -T lint -W warning ${OUTPUT}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(REMOVE ${OUTPUT})
    message(FATAL_ERROR "mandoc lint of ${SOURCE}:\n${out}")
  endif()
endif()
execute_process(COMMAND gzip -9nf -k ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
