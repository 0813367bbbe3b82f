zav_test(core_crypto_test SOURCES ${ZAV_TEST_DIR}/CryptoTest.cpp)
