# Installing a build: the programs in bin/, with the judge
# (judge/CMakeLists.txt), which finds them beside itself as in a build; the
# docs. On linux-i386 the libraries, the layer and qarvel, go to lib/, where
# the programs find them through $ORIGIN/../lib, and the layer's public
# header to include/, as platform/CMakeLists.txt makes it stand alone. On
# win32 qarvel.dll goes beside the programs, where Windows looks.
install(TARGETS ostrevin unwind-contract trace_demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  install(TARGETS qarvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  install(TARGETS qarvel seh_platform LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${SEH_PLATFORM_PUBLIC_HEADER} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
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
