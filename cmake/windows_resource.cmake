# korvane_windows_resource(<target> <description>): the icon and the version record of one
# Windows executable (app/resources/korvane.rc.in), with the project's version as the
# four numbers Windows shows.
function(korvane_windows_resource target description)
  set(KORVANE_RC_NAME ${target})
  set(KORVANE_RC_DESCRIPTION "${description}")
  set(KORVANE_RC_VERSION
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(KORVANE_RC_VERSION_TEXT
      "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(KORVANE_ICON "${PROJECT_SOURCE_DIR}/app/resources/korvane.ico")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/app/resources/korvane.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
