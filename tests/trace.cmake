add_cv_test(test_trace SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_trace.cpp LIBS CvBaseTrace)
