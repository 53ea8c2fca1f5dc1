# The collector's units: product locations and policy, the report file,
# folder enumeration and the progress text.
add_executable(collector_probe ${CMAKE_CURRENT_LIST_DIR}/collector_probe.cpp)
target_link_libraries(collector_probe PRIVATE CvCollector)
target_link_options(collector_probe PRIVATE -municode)

add_cv_test(test_productpaths SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_productpaths.cpp LIBS CvCollector)
add_dependencies(test_productpaths CvGpe collector_probe)
add_cv_test(test_report SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_report.cpp LIBS CvCollector)
add_dependencies(test_report CvGpe)
add_cv_test(test_enumerate SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_enumerate.cpp LIBS CvCollector)
# These change the product's keys and the trace key, whose settings every
# tracing program reads when it starts: nothing else runs meanwhile.
set_tests_properties(test_productpaths test_report test_enumerate PROPERTIES
  RESOURCE_LOCK cv_product_registry RUN_SERIAL TRUE)
