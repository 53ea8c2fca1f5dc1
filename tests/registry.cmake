add_cv_test(test_registry SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_registry.cpp LIBS CvBaseWin32)
