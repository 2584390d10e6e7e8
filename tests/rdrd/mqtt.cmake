# rdrd's broker link and rdrd itself against real components on loopback:
# mosquitto, rdr simulate and chromium.
rdr00800_add_test(rdrd_mqtt_link_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_link_test.cpp
                  LIBS rdrd_mqtt rdr00800_mqtt_testkit LABELS rdrd)

# rdrd as a child process, its stream clients and a headless browser, shared
# with the benchmarks.
find_package(nlohmann_json 3 REQUIRED)
find_package(Boost 1.74 REQUIRED)
add_library(rdrd_testkit STATIC ${CMAKE_CURRENT_LIST_DIR}/rdrd_process.cpp ${CMAKE_CURRENT_LIST_DIR}/stream_clients.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/headless_chromium.cpp
                                ${PROJECT_SOURCE_DIR}/tests/tools/child_process.cpp)
target_include_directories(rdrd_testkit PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(rdrd_testkit PUBLIC RDRD_EXECUTABLE="$<TARGET_FILE:rdrd>" RDR_EXECUTABLE="$<TARGET_FILE:rdr>"
                                               BOOST_ASIO_NO_DEPRECATED)
target_link_libraries(rdrd_testkit PUBLIC rdr00800_testkit rdr00800_mqtt_testkit nlohmann_json::nlohmann_json
                                          Boost::headers Threads::Threads PRIVATE rdr00800_warnings)
add_dependencies(rdrd_testkit rdrd rdr)

rdr00800_add_test(rdrd_mqtt_service_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_service_test.cpp LIBS rdrd_testkit
                  LABELS rdrd)
rdr00800_add_test(rdrd_browser_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/browser_test.cpp LIBS rdrd_testkit LABELS rdrd)
