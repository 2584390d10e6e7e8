# Run by CPack after it built the Debian packages (CPACK_POST_BUILD_SCRIPTS),
# after DebianLdconfigTrigger.cmake. Fails the packaging when any file of any
# package, installed or control, has a mode other than 0644 or 0755: a mode
# taken from the source tree differs between a clone and a release tarball
# (git archive writes 0775 and 0664), so every packaged file's mode must come
# from the install rules and CPack, never from the checkout.
set(allowed "^(-rw-r--r--|-rwxr-xr-x|drwxr-xr-x|lrwxrwxrwx) ")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  foreach(part IN ITEMS --ctrl-tarfile --fsys-tarfile)
    execute_process(COMMAND dpkg-deb ${part} ${package} COMMAND tar -tv OUTPUT_VARIABLE listing
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REPLACE "\n" ";" members "${listing}")
    foreach(member IN LISTS members)
      if(member AND NOT member MATCHES "${allowed}")
        message(FATAL_ERROR "${package}: a mode other than 0644 or 0755: ${member}")
      endif()
    endforeach()
  endforeach()
endforeach()
