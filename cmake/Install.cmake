# Install rules; rdr00800Config.cmake and its version file are written by
# the top-level CMakeLists.txt, which uses them for the build tree too.

# Components: Runtime is what programs load and run, Development what builds
# against the library (the Debian packages rdr00800 and rdr00800-dev).
install(TARGETS rdr00800 EXPORT rdr00800Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(DIRECTORY include/rdr00800 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(EXPORT rdr00800Targets NAMESPACE rdr00800:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rdr00800
        COMPONENT Development)

install(FILES ${PROJECT_BINARY_DIR}/rdr00800Config.cmake ${PROJECT_BINARY_DIR}/rdr00800ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rdr00800 COMPONENT Development)

# Relocatable: the prefix is found from where the .pc file lies, so an
# install with --prefix elsewhere still gives the right paths.
file(RELATIVE_PATH RDR00800_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" RDR00800_PC_TO_PREFIX "${RDR00800_PC_TO_PREFIX}")
configure_file(cmake/rdr00800.pc.in ${PROJECT_BINARY_DIR}/rdr00800.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/rdr00800.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
