# The dump search. Its test program runs in the end-to-end prefix, which its
# script gives two more drives for the time of the run.
add_executable(test_dumps ${CMAKE_CURRENT_LIST_DIR}/test_dumps.cpp)
target_link_libraries(test_dumps PRIVATE CvCollector gtest_main gtest)
target_compile_options(test_dumps PRIVATE -Wno-missing-field-initializers)
add_cv_script_test(test_dumps dumps_drives.sh)
set_tests_properties(test_dumps PROPERTIES RESOURCE_LOCK "cv_e2e_prefix;cv_product_registry")

add_cv_script_test(e2e_dumps e2e_dumps.sh)
set_tests_properties(e2e_dumps PROPERTIES RESOURCE_LOCK "cv_e2e_prefix;cv_product_registry")

# The walk alone, for script/bench.
add_executable(dumps_walk ${CMAKE_CURRENT_LIST_DIR}/dumps_walk.cpp)
target_link_libraries(dumps_walk PRIVATE CvCollector)
target_link_options(dumps_walk PRIVATE -municode)

add_cv_script_test(e2e_trace e2e_trace.sh)
set_tests_properties(e2e_trace PROPERTIES RESOURCE_LOCK "cv_e2e_prefix;cv_product_registry")
