# A build of fenwhit as an office makes it, in a build tree of its own: for the time host `host`
# (e.g. https://127.0.0.1:18443) and the CA certificates in `ca_file`, both fixed when it is
# built, as they are for the office. Its path goes to the target property TIDEWELL_FENWHIT of
# `target`, a custom target that builds it; the build type, sanitizers and compiler launcher are
# this tree's.
include(ExternalProject)

function(tidewell_add_office_fenwhit target host ca_file)
  set(tree ${CMAKE_CURRENT_BINARY_DIR}/${target})
  ExternalProject_Add(${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${tree}
    CMAKE_ARGS
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
      -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
      -DTIDEWELL_SANITIZE=${TIDEWELL_SANITIZE}
      -DTIDEWELL_WERROR=${TIDEWELL_WERROR}
      -DTIDEWELL_BUILD_TESTS=OFF
      -DTIDEWELL_TIME_HOST=${host}
      -DTIDEWELL_CA_FILE=${ca_file}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${tree} --target fenwhit
    BUILD_ALWAYS ON  # it follows the sources as the rest of this tree does
    BUILD_BYPRODUCTS ${tree}/silent/fenwhit
    INSTALL_COMMAND "")
  set_target_properties(${target} PROPERTIES TIDEWELL_FENWHIT ${tree}/silent/fenwhit)
endfunction()
