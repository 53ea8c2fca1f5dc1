add_cv_test(test_error SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_error.cpp LIBS CvBaseError)
add_dependencies(test_error CvError)
