# Runs PROGRAM with the connection string of a new namespace (sample schema
# SCHEMA) in a temporary directory, removed afterwards.
string(RANDOM LENGTH 12 suffix)
if(DEFINED ENV{TMPDIR} AND NOT "$ENV{TMPDIR}" STREQUAL "")
  set(base "$ENV{TMPDIR}")
else()
  set(base "/tmp")
endif()
set(dir "${base}/torqa-example-${suffix}")
execute_process(COMMAND ${PROGRAM} "local[fasthash=1;schema=${SCHEMA}]:${dir}/ns" RESULT_VARIABLE status)
file(REMOVE_RECURSE "${dir}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed: ${status}")
endif()
