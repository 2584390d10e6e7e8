# rdrd's broker connection, a library of its own so that its tests can drive
# it without the rest of the service.
include(${PROJECT_SOURCE_DIR}/cmake/Mosquitto.cmake)
find_package(Boost 1.74 REQUIRED)
add_library(rdrd_mqtt STATIC ${CMAKE_CURRENT_LIST_DIR}/mqtt_link.cpp)
target_include_directories(rdrd_mqtt PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(rdrd_mqtt PUBLIC PkgConfig::MOSQUITTO Boost::headers Threads::Threads PRIVATE rdr00800_warnings)
