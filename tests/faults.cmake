# The collector end to end with faults of its surroundings: missing components,
# product not installed, unreadable and odd log folders, a locked and a huge
# log, names outside the code page, long paths, output to a file and a pipe.
add_executable(hold_file ${CMAKE_CURRENT_LIST_DIR}/fixtures/hold_file.c)
target_link_options(hold_file PRIVATE -municode)

add_cv_script_test(e2e_faults e2e_faults.sh)
set_tests_properties(e2e_faults PROPERTIES RESOURCE_LOCK "cv_e2e_prefix;cv_product_registry")
