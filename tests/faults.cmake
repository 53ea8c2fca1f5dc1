# The collector end to end with faults of its surroundings: missing components,
# product not installed, unreadable and odd log folders, a locked and a huge
# log, names outside the code page, long paths, output to a file and a pipe.
add_executable(hold_file ${CMAKE_CURRENT_LIST_DIR}/fixtures/hold_file.c)
target_link_options(hold_file PRIVATE -municode)

add_cv_script_test(e2e_faults e2e_faults.sh)
set_tests_properties(e2e_faults PROPERTIES RESOURCE_LOCK "cv_e2e_prefix;cv_product_registry")

# Components that hang or fault, and a temporary folder on a full disk.
add_executable(collect_harness ${CMAKE_CURRENT_LIST_DIR}/collect_harness.cpp)
target_link_libraries(collect_harness PRIVATE CvCollector)
target_link_options(collect_harness PRIVATE -municode)
add_dependencies(collect_harness CvDiagReport CvError CvSrvApi CvDriverInstaller)
add_cv_script_test(e2e_sick e2e_sick.sh)
set_tests_properties(e2e_sick PROPERTIES RESOURCE_LOCK "cv_e2e_prefix;cv_product_registry")
