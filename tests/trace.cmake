add_cv_test(test_trace SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_trace.cpp LIBS CvBaseTrace)
set_tests_properties(test_trace PROPERTIES RESOURCE_LOCK cv_product_registry)
