# rdrd's broker link and rdrd itself against real components on loopback:
# mosquitto, rdr simulate and chromium.
rdr00800_add_test(rdrd_mqtt_link_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_link_test.cpp
                  LIBS rdrd_mqtt rdr00800_mqtt_testkit LABELS rdrd)
rdr00800_add_test(rdrd_mqtt_service_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_service_test.cpp LIBS rdrd_testkit
                  LABELS rdrd)
rdr00800_add_test(rdrd_browser_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/browser_test.cpp LIBS rdrd_testkit LABELS rdrd)
