# The Windows resources of both programs: version record, icon and manifest. Included from the
# top-level CMakeLists.txt on Windows before the programs' folders, which call
# tidewell_windows_resources() on each program.

set(TIDEWELL_WINDOWS_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR})
# The icon is made from packaging/icon/tidewell.xpm by a native build; the Windows build embeds
# the committed copy, so that it needs no image tools.
set(TIDEWELL_WINDOWS_ICON ${PROJECT_SOURCE_DIR}/packaging/icon/tidewell.ico)
if(NOT EXISTS ${TIDEWELL_WINDOWS_ICON})
  message(FATAL_ERROR "Tidewell: ${TIDEWELL_WINDOWS_ICON} is missing; a native build makes it "
                      "as packaging/icon/tidewell.ico in its build folder")
endif()

# Each program's manifest, from one template. Setting the clock needs the system-time privilege,
# which only an elevated token holds (administrators too run filtered). larkspan's one action
# needs it, so Windows asks for consent as it starts. fenwhit runs from a scheduled task set to
# run with highest privileges, where nobody could answer a prompt, so it asks for nothing.
set(TIDEWELL_WINDOWS_MANIFEST_DIR ${PROJECT_BINARY_DIR}/packaging/windows)
function(tidewell_windows_manifest program level why)
  set(TIDEWELL_EXECUTION_LEVEL ${level})
  set(TIDEWELL_EXECUTION_LEVEL_WHY ${why})
  configure_file(${TIDEWELL_WINDOWS_RESOURCES_DIR}/tidewell.manifest.in
                 ${TIDEWELL_WINDOWS_MANIFEST_DIR}/${program}.manifest @ONLY)
endfunction()
tidewell_windows_manifest(larkspan requireAdministrator
  "Setting the clock needs the system-time privilege of an elevated token: Windows asks for consent as the program starts.")
tidewell_windows_manifest(fenwhit asInvoker
  "Runs unattended (a scheduled task with highest privileges), where nobody could answer a prompt.")

# The version record carries the project's version, as the tools and the packages do: numbers
# for the fixed part, the text ("1.00") for the strings.
set(TIDEWELL_VERSION_NUMBERS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
configure_file(${TIDEWELL_WINDOWS_RESOURCES_DIR}/TidewellVersion.h.in
               ${TIDEWELL_WINDOWS_MANIFEST_DIR}/TidewellVersion.h @ONLY)

# Lets windres find the shared resource file, the icon, the version and the program's manifest,
# and rebuilds the resources of `target` when any of them changes.
function(tidewell_windows_resources target)
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    if(source MATCHES "([A-Za-z]+)\\.rc$")
      set(manifest ${TIDEWELL_WINDOWS_MANIFEST_DIR}/${CMAKE_MATCH_1}.manifest)
      set_source_files_properties(${source} TARGET_DIRECTORY ${target} PROPERTIES
        INCLUDE_DIRECTORIES "${TIDEWELL_WINDOWS_RESOURCES_DIR};${TIDEWELL_WINDOWS_MANIFEST_DIR};${PROJECT_SOURCE_DIR}/packaging/icon"
        OBJECT_DEPENDS "${TIDEWELL_WINDOWS_RESOURCES_DIR}/TidewellResources.rc;${manifest};${TIDEWELL_WINDOWS_MANIFEST_DIR}/TidewellVersion.h;${TIDEWELL_WINDOWS_ICON}")
    endif()
  endforeach()
endfunction()
