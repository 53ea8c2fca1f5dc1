# The product's service library: the stand-in as the client calls it, and the
# client against the stand-in. Both change the product's service and version
# keys for a while.
add_cv_test(test_cvsrvapi SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cvsrvapi.cpp
  ${CMAKE_SOURCE_DIR}/standins/CvSrvApi/SecurityLog.cpp LIBS CvSrvApi CvBaseTrace)
add_cv_test(test_cvsrv SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cvsrv.cpp LIBS CvSrvClass CvBaseTrace)
add_dependencies(test_cvsrv CvSrvApi)
set_tests_properties(test_cvsrvapi test_cvsrv PROPERTIES RESOURCE_LOCK cv_product_registry)
