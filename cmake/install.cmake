# Installing a build: the programs and the libraries beside them (on
# linux-i386 they find each other through $ORIGIN; Windows looks beside the
# program first), the judge (judge/CMakeLists.txt) and the docs. So an
# installed judge finds its programs beside itself, as in a build.
install(TARGETS ostrevin unwind-contract trace_demo qarvel
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  install(TARGETS seh_platform LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET dispatch-contract)
  install(TARGETS dispatch-contract RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

# cpack: the linux-i386 install as a tarball; on win32 a zip of what a user
# takes to a Windows machine (the programs, qarvel.dll, how to run them
# there and hand the runs to the judge), a component of its own that a plain
# install leaves out.
set(CPACK_PACKAGE_NAME ostrevin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGE_FILE_NAME ostrevin-${PROJECT_VERSION}-${OSTREVIN_TARGET})
if(WIN32)
  install(TARGETS ostrevin unwind-contract dispatch-contract qarvel RUNTIME DESTINATION .
          COMPONENT windows EXCLUDE_FROM_ALL)
  install(FILES packaging/README-windows.txt packaging/run.cmd DESTINATION .
          COMPONENT windows EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENTS_ALL windows)
  set(CPACK_ARCHIVE_WINDOWS_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)
