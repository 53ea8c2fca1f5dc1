add_cv_test(test_win32objects SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_win32objects.cpp LIBS CvBaseWin32)
