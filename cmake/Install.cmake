# Install rules; rdr00800Config.cmake and its version file are written by
# the top-level CMakeLists.txt, which uses them for the build tree too.
install(TARGETS rdr00800 EXPORT rdr00800Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/rdr00800 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT rdr00800Targets NAMESPACE rdr00800:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rdr00800)

install(FILES ${PROJECT_BINARY_DIR}/rdr00800Config.cmake ${PROJECT_BINARY_DIR}/rdr00800ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rdr00800)

# Relocatable: the prefix is found from where the .pc file lies, so an
# install with --prefix elsewhere still gives the right paths.
file(RELATIVE_PATH RDR00800_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" RDR00800_PC_TO_PREFIX "${RDR00800_PC_TO_PREFIX}")
configure_file(cmake/rdr00800.pc.in ${PROJECT_BINARY_DIR}/rdr00800.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/rdr00800.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
