# libmosquitto, for rdrd's broker connection and the broker's test kit.
include_guard(GLOBAL)
find_package(PkgConfig REQUIRED)
pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET GLOBAL libmosquitto)
