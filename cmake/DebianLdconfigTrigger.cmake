# Run by CPack after it built the Debian packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package with a library under /usr/lib a postinst and a postrm
# that call ldconfig; Debian runs ldconfig through the trigger such a package
# activates (packaging/triggers) instead, and lintian warns of the calls. So
# each package with that trigger is unpacked, loses those two scripts, which
# do nothing else, and is packed again.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  if(EXISTS ${tree}/DEBIAN/triggers)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${package} OUTPUT_QUIET
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
