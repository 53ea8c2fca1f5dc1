# The export of event logs, through answers shaped as Windows gives them, and
# the product's log through the stand-in service (whose key it changes).
add_cv_test(test_eventlogs SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_eventlogs.cpp LIBS CvCollector)
add_dependencies(test_eventlogs CvSrvApi)
set_tests_properties(test_eventlogs PROPERTIES RESOURCE_LOCK cv_product_registry)
