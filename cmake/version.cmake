# The one version of everything built here is project(VERSION) in the top CMakeLists.txt. Code reads it
# from the generated korvane_version.h (target korvane_version); Windows binaries get a version resource
# by defining their description and file name in their .rc and including version_info.rc; CPack and
# installers take PROJECT_VERSION or KORVANE_VERSION_QUAD.
set(KORVANE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(KORVANE_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(KORVANE_VERSION_DIR ${CMAKE_BINARY_DIR}/generated/version)
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvane_version.h.in ${KORVANE_VERSION_DIR}/korvane_version.h @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version_info.rc ${KORVANE_VERSION_DIR}/version_info.rc COPYONLY)

add_library(korvane_version INTERFACE)
target_include_directories(korvane_version INTERFACE ${KORVANE_VERSION_DIR})
