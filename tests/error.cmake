add_executable(error_probe ${CMAKE_CURRENT_LIST_DIR}/error_probe.cpp)
target_link_libraries(error_probe PRIVATE CvBaseError)
target_link_options(error_probe PRIVATE -municode)

add_cv_test(test_error SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_error.cpp LIBS CvBaseError)
add_dependencies(test_error CvError error_probe)
# It changes the product's key, which other tests read.
set_tests_properties(test_error PROPERTIES RESOURCE_LOCK cv_product_registry)
