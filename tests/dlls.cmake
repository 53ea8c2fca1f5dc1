# The library the binding tests bind to; it lands in bin next to the tests.
add_library(CvTestLib SHARED ${CMAKE_CURRENT_LIST_DIR}/fixtures/CvTestLib.c)
set_target_properties(CvTestLib PROPERTIES PREFIX "")

add_cv_test(test_dlls SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dlls.cpp LIBS CvBaseDlls)
add_dependencies(test_dlls CvTestLib CvError)
