add_cv_test(test_standins SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_standins.cpp LIBS CvGpe advapi32)
add_dependencies(test_standins CvGpe MdAuthModCfg)
# The test changes the product's policy and network-protection keys for a
# while; tests that read them take the same lock.
set_tests_properties(test_standins PROPERTIES RESOURCE_LOCK cv_product_registry)
