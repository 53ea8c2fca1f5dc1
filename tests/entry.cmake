add_executable(entry_harness ${CMAKE_CURRENT_LIST_DIR}/entry_harness.cpp)
target_link_libraries(entry_harness PRIVATE CvDiagReportLib)
target_link_options(entry_harness PRIVATE -municode)
add_dependencies(entry_harness CvError)
add_cv_script_test(screen_entry screen_entry.sh)

add_cv_test(test_output SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_output.cpp LIBS CvDiagReportLib)

add_cv_script_test(e2e_collect e2e_collect.sh)
add_cv_script_test(screen_collect screen_collect.sh)
add_cv_script_test(e2e_exitcodes e2e_exitcodes.sh)
# They install the stand-in product: into a prefix of their own, or into the
# one prefix of all tests when WINEPREFIX is set.
set_tests_properties(e2e_collect screen_collect e2e_exitcodes PROPERTIES RESOURCE_LOCK "cv_e2e_prefix;cv_product_registry")
add_dependencies(entry_harness CvDiagReport)
