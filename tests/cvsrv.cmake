# The product's service library: the stand-in as the client calls it, and the
# client against the stand-in. Both change the product's service and version
# keys for a while.
add_cv_test(test_cvsrvapi SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cvsrvapi.cpp
  ${CMAKE_SOURCE_DIR}/standins/CvSrvApi/SecurityLog.cpp LIBS CvSrvApi CvBaseTrace)
add_cv_test(test_cvsrv SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cvsrv.cpp LIBS CvSrvClass CvBaseTrace)
add_dependencies(test_cvsrv CvSrvApi CvSrvApiRecorder)

# A service library that records what the client hands it, in a folder of its own.
add_library(CvSrvApiRecorder SHARED ${CMAKE_CURRENT_LIST_DIR}/fixtures/CvSrvApiRecorder.c)
set_target_properties(CvSrvApiRecorder PROPERTIES PREFIX "" OUTPUT_NAME CvSrvApi
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/recorder ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/recorder)
set_tests_properties(test_cvsrvapi test_cvsrv PROPERTIES RESOURCE_LOCK cv_product_registry)
