# The cabinet writer: unit tests, and a small packer that the shell test runs
# before checking its cabinet with cabextract and gcab.
add_cv_test(test_cabinet SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cabinet.cpp
            LIBS CvCollector cabinet)
add_dependencies(test_cabinet CvError)
# A time zone away from UTC, so that stored times show the local conversion.
set_tests_properties(test_cabinet PROPERTIES ENVIRONMENT "TZ=Asia/Kolkata")

add_executable(cabinet_pack ${CMAKE_CURRENT_LIST_DIR}/cabinet_pack.cpp)
target_link_libraries(cabinet_pack PRIVATE CvCollector)
target_link_options(cabinet_pack PRIVATE -municode)
add_cv_script_test(cabinet_tools cabinet_tools.sh)
add_cv_script_test(screen_pack screen_pack.sh)

# The archive's manifest, in a time zone with an offset of hours and minutes.
add_cv_test(test_manifest SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_manifest.cpp LIBS CvCollector)
target_include_directories(test_manifest SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/json-include)
add_dependencies(test_manifest CvError)
# (a zone string that the C run-time and the host read alike).
set_tests_properties(test_manifest PROPERTIES ENVIRONMENT "TZ=NPT-05:45")
