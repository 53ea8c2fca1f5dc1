# The hardware section: processor and operating system over WMI, the physical
# disk walk from driver answers, logical drives, serial numbers.
add_cv_test(test_hardware SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_hardware.cpp LIBS CvCollector)
# Some tests catch the trace, whose key every tracing program reads.
set_tests_properties(test_hardware PROPERTIES RESOURCE_LOCK cv_product_registry)
