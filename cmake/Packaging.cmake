# What a user runs, installed beside the library: rdr, the sample decryption
# library, the man page, bash completion and the notes; and the Debian
# packages CPack builds from the install (rdr00800 and rdr00800-dev).
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)
# rdr lives in the package's own directory, beside the sample decryption
# library it loads from its directory; bin/rdr links there.
set(RDR00800_PRIVATE_DIR lib/rdr00800)
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc)

function(rdr00800_install_link name target destination)
  file(MAKE_DIRECTORY ${staged}/links/${destination})
  file(CREATE_LINK ${target} ${staged}/links/${destination}/${name} SYMBOLIC)
  install(FILES ${staged}/links/${destination}/${name} DESTINATION ${destination} COMPONENT Runtime)
endfunction()

if(TARGET rdr)
  install(TARGETS rdr RUNTIME DESTINATION ${RDR00800_PRIVATE_DIR} COMPONENT Runtime)
  file(RELATIVE_PATH to_rdr /${CMAKE_INSTALL_BINDIR} /${RDR00800_PRIVATE_DIR}/rdr)
  rdr00800_install_link(rdr ${to_rdr} ${CMAKE_INSTALL_BINDIR})
  install(FILES ${packaging}/rdr.bash-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME rdr COMPONENT Runtime)

  # The man page is rdr's own help, every command's included, at build time;
  # help2man names the page after the program it runs, hence the link.
  find_program(RDR00800_HELP2MAN help2man REQUIRED)
  file(MAKE_DIRECTORY ${staged}/help)
  file(CREATE_LINK ${packaging}/rdr-help.sh ${staged}/help/rdr SYMBOLIC)
  add_custom_command(
    OUTPUT ${staged}/rdr.1.gz
    COMMAND ${CMAKE_COMMAND} -E env RDR=$<TARGET_FILE:rdr> ${RDR00800_HELP2MAN} --no-info --no-discard-stderr
            --version-string=${PROJECT_VERSION} "--name=badge readers from the command line"
            --include=${packaging}/rdr.h2m --output=${staged}/rdr.1 ${staged}/help/rdr
    COMMAND gzip -9nf ${staged}/rdr.1
    DEPENDS rdr ${packaging}/rdr-help.sh ${packaging}/rdr.h2m
    VERBATIM)
  add_custom_target(rdr_manpage ALL DEPENDS ${staged}/rdr.1.gz)
  install(FILES ${staged}/rdr.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
endif()

if(TARGET rdr00800_sample_decrypt)
  install(TARGETS rdr00800_sample_decrypt LIBRARY DESTINATION ${RDR00800_PRIVATE_DIR}/sample COMPONENT Runtime)
  install(FILES ${packaging}/Cliente.Cfg DESTINATION ${RDR00800_PRIVATE_DIR}/sample COMPONENT Runtime)
  rdr00800_install_link(KQZR32.dll sample/KQZR32.dll ${RDR00800_PRIVATE_DIR})
  rdr00800_install_link(Cliente.Cfg sample/Cliente.Cfg ${RDR00800_PRIVATE_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/sample_decrypt/README.md DESTINATION ${doc_dir}/rdr00800/sample
          COMPONENT Runtime)
endif()

# Each package carries its own copyright and changelog, compressed as Debian wants.
add_custom_command(OUTPUT ${staged}/changelog.Debian.gz
                   COMMAND gzip -9nc ${packaging}/changelog > ${staged}/changelog.Debian.gz
                   DEPENDS ${packaging}/changelog)
add_custom_target(rdr00800_changelog ALL DEPENDS ${staged}/changelog.Debian.gz)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${packaging}/copyright ${staged}/changelog.Debian.gz
        DESTINATION ${doc_dir}/rdr00800 COMPONENT Runtime)
install(FILES ${packaging}/copyright ${staged}/changelog.Debian.gz DESTINATION ${doc_dir}/rdr00800-dev
        COMPONENT Development)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rdr00800)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "rdr00800 maintainers <rdr00800@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME rdr00800)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "libsqliteodbc")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${packaging}/postinst ${packaging}/prerm ${packaging}/triggers)
# CPack puts the project's description first, as the synopsis of both.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "The library lets point-of-sale, canteen and access-control hosts take codes
from an optical scanner and a proximity card reader on serial ports, decode
proximity frames and decrypt consumer codes through a vendor library.

This package holds the shared library, the rdr command-line tool with its
reader simulator, a sample decryption library, and the Python module
rdr00800 (ctypes).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME rdr00800-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "rdr00800 (= ${PROJECT_VERSION}-1)")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Development files: the C and C++ headers of rdr00800, its CMake package and
its pkg-config file, for building hosts against the library.")

include(CPack)
