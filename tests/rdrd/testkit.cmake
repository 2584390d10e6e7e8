# rdrd's harness: the program as a child process, its clients and a headless
# browser, shared by rdrd's tests and its benchmark (which includes this file
# when the tests are not built).
if(TARGET rdrd_testkit)
  return()
endif()
find_package(nlohmann_json 3 REQUIRED)
find_package(Boost 1.74 REQUIRED)
add_library(rdrd_testkit STATIC ${CMAKE_CURRENT_LIST_DIR}/rdrd_harness.cpp ${CMAKE_CURRENT_LIST_DIR}/headless_chromium.cpp
                                ${PROJECT_SOURCE_DIR}/tests/tools/child_process.cpp)
target_include_directories(rdrd_testkit PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(rdrd_testkit PUBLIC RDRD_EXECUTABLE="$<TARGET_FILE:rdrd>" RDR_EXECUTABLE="$<TARGET_FILE:rdr>"
                                               BOOST_ASIO_NO_DEPRECATED)
target_link_libraries(rdrd_testkit PUBLIC rdr00800_testkit rdr00800_mqtt_testkit nlohmann_json::nlohmann_json
                                          Boost::headers Threads::Threads PRIVATE rdr00800_warnings)
add_dependencies(rdrd_testkit rdrd rdr)
