# The Windows resources of both programs: version record, icon and manifest. Included from the
# top-level CMakeLists.txt on Windows before the programs' folders, which call
# tidewell_windows_resources() on each program.

set(TIDEWELL_WINDOWS_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR})
# The icon is made from packaging/icon/tidewell.xpm by a native build; the Windows build takes
# the committed copy.
set(TIDEWELL_WINDOWS_ICON ${PROJECT_SOURCE_DIR}/packaging/icon/tidewell.ico)
if(NOT EXISTS ${TIDEWELL_WINDOWS_ICON})
  message(FATAL_ERROR "Tidewell: ${TIDEWELL_WINDOWS_ICON} is missing; make it with a native "
                      "build's `icon_convert ico packaging/icon/tidewell.xpm ${TIDEWELL_WINDOWS_ICON}`")
endif()

# Lets windres find the shared resource file, the icon and the manifest, and rebuilds the
# resources of `target` when any of them changes.
function(tidewell_windows_resources target)
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    if(source MATCHES "\\.rc$")
      set_source_files_properties(${source} TARGET_DIRECTORY ${target} PROPERTIES
        INCLUDE_DIRECTORIES "${TIDEWELL_WINDOWS_RESOURCES_DIR};${PROJECT_SOURCE_DIR}/packaging/icon"
        OBJECT_DEPENDS "${TIDEWELL_WINDOWS_RESOURCES_DIR}/TidewellResources.rc;${TIDEWELL_WINDOWS_RESOURCES_DIR}/tidewell.manifest;${TIDEWELL_WINDOWS_ICON}")
    endif()
  endforeach()
endfunction()
