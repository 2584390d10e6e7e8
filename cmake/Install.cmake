# Install rules; rdr00800Config.cmake and its version file are written by
# the top-level CMakeLists.txt, which uses them for the build tree too.

# Components, one Debian package each (cmake/Packaging.cmake): Library is what
# hosts load, Development what builds against it, Tools rdr and what comes
# with it, Python the module.
install(TARGETS rdr00800 EXPORT rdr00800Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Library NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Library)
install(DIRECTORY include/rdr00800 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(EXPORT rdr00800Targets NAMESPACE rdr00800:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rdr00800
        COMPONENT Development)

install(FILES ${PROJECT_BINARY_DIR}/rdr00800Config.cmake ${PROJECT_BINARY_DIR}/rdr00800ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rdr00800 COMPONENT Development)

# The .pc file names the prefix of the install that writes it (--prefix, or
# /usr in the Debian packages), filled in at install time: pkg-config then
# prints plain paths such as -I/usr/include, and an install with --prefix
# elsewhere still gives its own.
set(RDR00800_PC_PREFIX @RDR00800_PC_PREFIX@)
configure_file(cmake/rdr00800.pc.in ${PROJECT_BINARY_DIR}/rdr00800.pc.in @ONLY)
install(CODE "file(READ \"${PROJECT_BINARY_DIR}/rdr00800.pc.in\" pc)
              string(REPLACE @RDR00800_PC_PREFIX@ \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
              file(WRITE \"${PROJECT_BINARY_DIR}/rdr00800.pc\" \"\${pc}\")"
        COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/rdr00800.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
