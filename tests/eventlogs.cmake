# The export of event logs, through answers shaped as Windows gives them, and
# the product's log through the stand-in service (whose key it changes).
add_cv_test(test_eventlogs SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_eventlogs.cpp LIBS CvCollector)
add_dependencies(test_eventlogs CvSrvApi)
set_tests_properties(test_eventlogs PROPERTIES RESOURCE_LOCK cv_product_registry)

# A service library that lacks the export that saves the log, in a folder of
# its own.
add_library(CvSrvApiPartial SHARED ${CMAKE_CURRENT_LIST_DIR}/fixtures/CvSrvApiPartial.c)
set_target_properties(CvSrvApiPartial PROPERTIES PREFIX "" OUTPUT_NAME CvSrvApi
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/partial)
add_cv_script_test(e2e_events e2e_events.sh)
set_tests_properties(e2e_events PROPERTIES RESOURCE_LOCK "cv_e2e_prefix;cv_product_registry")
