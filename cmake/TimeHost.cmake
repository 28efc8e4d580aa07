# Splits a TIDEWELL_TIME_HOST value ("host", "host:port", "[v6]" or "[v6]:port") into the
# address and port the time-page server listens on by default. The server binds to an
# address, not a name: "localhost" is 127.0.0.1, and any other name means the machine that
# carries it, so the server listens on all its IPv4 addresses there.
function(tidewell_split_time_host value out_address out_port)
  set(address "${value}")
  set(port 80)
  if(address MATCHES "^\\[([0-9A-Fa-f:.]+)\\](:([0-9]+))?$")
    set(address "${CMAKE_MATCH_1}")
    if(NOT "${CMAKE_MATCH_3}" STREQUAL "")
      set(port "${CMAKE_MATCH_3}")
    endif()
  elseif(address MATCHES "^([^:]+):([0-9]+)$")
    set(address "${CMAKE_MATCH_1}")
    set(port "${CMAKE_MATCH_2}")
  endif()
  if(port GREATER 65535)
    message(FATAL_ERROR "TIDEWELL_TIME_HOST '${value}' has a port above 65535")
  endif()
  if(address STREQUAL "localhost")
    set(address "127.0.0.1")
  elseif(NOT address MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$" AND NOT address MATCHES ":")
    message(STATUS "tidewell-timepage: '${address}' is a host name; the server binds to "
                   "0.0.0.0 by default")
    set(address "0.0.0.0")
  endif()
  set(${out_address} "${address}" PARENT_SCOPE)
  set(${out_port} "${port}" PARENT_SCOPE)
endfunction()
