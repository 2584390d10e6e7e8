# rdrd's broker connection: a library of its own, so that its tests drive it
# without the rest of the service, and the extension that puts it into rdrd.
include(${PROJECT_SOURCE_DIR}/cmake/Mosquitto.cmake)
add_library(rdrd_mqtt STATIC ${CMAKE_CURRENT_LIST_DIR}/mqtt_link.cpp)
target_include_directories(rdrd_mqtt PUBLIC ${CMAKE_CURRENT_LIST_DIR})
# As rdrd has it: Asio's headers alike in every object.
target_compile_definitions(rdrd_mqtt PUBLIC BOOST_ASIO_NO_DEPRECATED)
target_link_libraries(rdrd_mqtt PUBLIC rdrd_core PkgConfig::MOSQUITTO Boost::headers Threads::Threads PRIVATE rdr00800_warnings)

target_sources(rdrd PRIVATE ${CMAKE_CURRENT_LIST_DIR}/mqtt_extension.cpp)
target_link_libraries(rdrd PRIVATE rdrd_mqtt)
