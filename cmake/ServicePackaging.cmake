# rdr00800-service: rdrd, its man page, its commented configuration (a
# conffile), its systemd unit and an example udev rule. Included by
# Packaging.cmake before CPack. Each file's mode is given here rather than
# taken from the source tree, whose modes a release tarball may not keep.
set(service_sources ${packaging}/service)
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

add_custom_command(OUTPUT ${staged}/rdrd.8.gz COMMAND gzip -9nc ${service_sources}/rdrd.8 > ${staged}/rdrd.8.gz
                   DEPENDS ${service_sources}/rdrd.8)
add_custom_target(rdrd_manpage ALL DEPENDS ${staged}/rdrd.8.gz)
install(FILES ${staged}/rdrd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 PERMISSIONS ${readable} COMPONENT Service)
install(FILES ${service_sources}/rdrd.toml DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/rdr00800
        PERMISSIONS ${readable} COMPONENT Service)
install(FILES ${service_sources}/rdrd.service DESTINATION lib/systemd/system PERMISSIONS ${readable}
        COMPONENT Service)
install(FILES ${service_sources}/60-rdr00800-reader.rules DESTINATION ${doc_dir}/rdr00800-service/examples
        PERMISSIONS ${readable} COMPONENT Service)

set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "${library_package} (= ${exact_version})")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "mosquitto")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${service_sources}/conffiles ${service_sources}/postinst
                                               ${service_sources}/prerm ${service_sources}/postrm)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "badge-reader service for web tills and managed runtimes
rdrd holds badge readers on serial ports and on the network and delivers
every code, once and in order, as one JSON event over WebSocket,
Server-Sent Events and MQTT, to hosts that cannot load the library: pages
in a browser, Node, Java and .NET programs. With its systemd unit, its
commented configuration, its man page and an example udev rule.")
