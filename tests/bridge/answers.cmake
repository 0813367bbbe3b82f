zav_test(bridge_rate_meter_test SOURCES ${ZAV_TEST_DIR}/RateMeterTest.cpp)
zav_test(bridge_account_answers_test SOURCES ${ZAV_TEST_DIR}/AccountAnswersTest.cpp)
zav_test(bridge_pinger_probes_test SOURCES ${ZAV_TEST_DIR}/PingerProbesTest.cpp TIMEOUT 60)
zav_test(bridge_route_table_answer_test SOURCES ${ZAV_TEST_DIR}/RouteTableAnswerTest.cpp)
