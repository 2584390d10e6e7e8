# rdrd's broker connection against a real mosquitto on loopback.
rdr00800_add_test(rdrd_mqtt_link_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mqtt_link_test.cpp
                  LIBS rdrd_mqtt rdr00800_mqtt_testkit LABELS rdrd)
