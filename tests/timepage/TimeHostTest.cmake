# How a TIDEWELL_TIME_HOST value becomes the address and port the time-page server listens on
# by default. Run with: cmake -DTIME_HOST_SCRIPT=<cmake/TimeHost.cmake> -P <this file>
include(${TIME_HOST_SCRIPT})

set(failures 0)
# value | expected address | expected port
foreach(row IN ITEMS
    "127.0.0.1:8037|127.0.0.1|8037"
    "127.0.0.1|127.0.0.1|80"
    "localhost|127.0.0.1|80"
    "localhost:9000|127.0.0.1|9000"
    "time.example.org|0.0.0.0|80"
    "time.example.org:8080|0.0.0.0|8080"
    "[::1]|::1|80"
    "[::1]:8037|::1|8037"
    "[2001:db8::7]:65535|2001:db8::7|65535")
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 value)
  list(GET fields 1 expected_address)
  list(GET fields 2 expected_port)
  tidewell_split_time_host("${value}" address port)
  if(NOT address STREQUAL expected_address OR NOT port STREQUAL expected_port)
    message(SEND_ERROR "'${value}' gave ${address} port ${port}, "
                       "expected ${expected_address} port ${expected_port}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} time host values split wrongly")
endif()
