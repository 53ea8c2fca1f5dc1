add_cv_test(test_seh SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_seh.cpp LIBS CvBaseSeh)
add_dependencies(test_seh CvError)
add_dependencies(test_seh CvTestLib)
