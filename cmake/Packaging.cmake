# What a user runs, installed beside the library: rdr, the sample decryption
# library, the man page, bash completion and the notes; and the Debian
# packages CPack builds from the install, named as Debian names a library and
# its tools: librdr00800-N after the soname, librdr00800-dev, rdr00800-tools
# and python3-rdr00800.
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)
# librdr00800.so.N: a name ending in a digit takes a hyphen before N.
set(library_package librdr00800-${PROJECT_VERSION_MAJOR})
# rdr lives in the package's own directory, beside the sample decryption
# library it loads from its directory; bin/rdr links there.
set(RDR00800_PRIVATE_DIR lib/rdr00800)
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc)

function(rdr00800_install_link name target destination)
  file(MAKE_DIRECTORY ${staged}/links/${destination})
  file(CREATE_LINK ${target} ${staged}/links/${destination}/${name} SYMBOLIC)
  install(FILES ${staged}/links/${destination}/${name} DESTINATION ${destination} COMPONENT Tools)
endfunction()

if(TARGET rdr)
  install(TARGETS rdr RUNTIME DESTINATION ${RDR00800_PRIVATE_DIR} COMPONENT Tools)
  file(RELATIVE_PATH to_rdr /${CMAKE_INSTALL_BINDIR} /${RDR00800_PRIVATE_DIR}/rdr)
  rdr00800_install_link(rdr ${to_rdr} ${CMAKE_INSTALL_BINDIR})
  install(FILES ${packaging}/rdr.bash-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME rdr COMPONENT Tools)

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
    # help2man joins an option's lines into one paragraph: a break before its
    # "Needs:" and "Excludes:" keeps each on a line of its own.
    COMMAND sed -i -e "/^\\(Needs\\|Excludes\\): /i .br" ${staged}/rdr.1
    COMMAND gzip -9nf ${staged}/rdr.1
    DEPENDS rdr ${packaging}/rdr-help.sh ${packaging}/rdr.h2m
    VERBATIM)
  add_custom_target(rdr_manpage ALL DEPENDS ${staged}/rdr.1.gz)
  install(FILES ${staged}/rdr.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
endif()

if(TARGET rdr00800_sample_decrypt)
  install(TARGETS rdr00800_sample_decrypt LIBRARY DESTINATION ${RDR00800_PRIVATE_DIR}/sample COMPONENT Tools)
  install(FILES ${packaging}/Cliente.Cfg DESTINATION ${RDR00800_PRIVATE_DIR}/sample COMPONENT Tools)
  rdr00800_install_link(KQZR32.dll sample/KQZR32.dll ${RDR00800_PRIVATE_DIR})
  rdr00800_install_link(Cliente.Cfg sample/Cliente.Cfg ${RDR00800_PRIVATE_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/sample_decrypt/README.md DESTINATION ${doc_dir}/rdr00800-tools/sample
          COMPONENT Tools)
endif()

# Each package carries its own copyright and changelog, compressed as Debian wants.
add_custom_command(OUTPUT ${staged}/changelog.Debian.gz
                   COMMAND gzip -9nc ${packaging}/changelog > ${staged}/changelog.Debian.gz
                   DEPENDS ${packaging}/changelog)
add_custom_target(rdr00800_changelog ALL DEPENDS ${staged}/changelog.Debian.gz)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${doc_dir}/rdr00800-tools COMPONENT Tools)
set(component_packages Library:${library_package} Development:librdr00800-dev Tools:rdr00800-tools
                       Python:python3-rdr00800)
if(TARGET rdrd)
  list(APPEND component_packages Service:rdr00800-service)
endif()
foreach(component_package IN LISTS component_packages)
  string(REPLACE ":" ";" component_package ${component_package})
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES ${packaging}/copyright ${staged}/changelog.Debian.gz DESTINATION ${doc_dir}/${package}
          COMPONENT ${component})
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rdr00800)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "rdr00800 maintainers <rdr00800@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL Library Development Tools Python)
# Maintainer scripts 0755 and the other control files 0644, whatever the
# source tree's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Every package's modes come from here, never from the checkout, whose modes
# a release tarball changes (git archive writes 0775 and 0664): control files
# get Debian's (0755 for maintainer scripts, 0644 for the rest) whatever the
# mode of the file named in a CONTROL_EXTRA, and installed files get 0644, or
# 0755 from install(TARGETS) and install(PROGRAMS), as install() does without
# USE_SOURCE_PERMISSIONS. A new package takes this path by being a component;
# DebianPackageModes.cmake fails the packaging when a mode slips through.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# An shlibs file for the package holding librdr00800.so.N.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# CPack puts a summary of its own making first in every package; left at its
# default, each package's description begins with its own synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(exact_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${packaging}/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianLdconfigTrigger.cmake
                              ${PROJECT_SOURCE_DIR}/cmake/DebianPackageModes.cmake)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
    "badge-reader support library for point-of-sale hosts
The library lets point-of-sale, canteen and access-control hosts take codes
from an optical scanner and a proximity card reader on serial ports, decode
proximity frames and decrypt consumer codes through a vendor library.

This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${library_package} (= ${exact_version})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "badge-reader support library - development files
The C and C++ headers of rdr00800, its CMake package and its pkg-config
file, for building hosts against the library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# dpkg-shlibdeps finds the library rdr links in the build tree; the exact
# version of its package is named here, as it is built in the same run.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${library_package} (= ${exact_version})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "libsqliteodbc")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "badge readers from the command line
rdr polls badge readers, decodes proximity frames, relays scanned codes to
standard output or into an X11 window, decrypts consumer codes and
simulates readers on pseudo-terminals for host developers. With its man
page, bash completion and a sample decryption library.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${library_package} (= ${exact_version})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${packaging}/postinst ${packaging}/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "badge-reader support library - Python 3 module
The module rdr00800 calls the library's C interface through ctypes: reads,
scans, settings, windows and the decryption gateway from Python.")

if(TARGET rdrd)
  list(APPEND CPACK_COMPONENTS_ALL Service)
  include(${PROJECT_SOURCE_DIR}/cmake/ServicePackaging.cmake)
endif()

include(CPack)
