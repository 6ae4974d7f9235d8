# cmake -DGZIP=... -DIN=... -DOUT=... -P GzipFile.cmake: IN compressed into OUT, with no file
# name or time stamp in the header, so that the same page gives the same bytes.
execute_process(COMMAND ${GZIP} -9nc ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${IN}: ${rc}")
endif()
