# The report's sections: computer role, registry exports, drivers and
# services, installed software, product subsystems and system modules.
add_executable(report_probe ${CMAKE_CURRENT_LIST_DIR}/report_probe.cpp)
target_link_libraries(report_probe PRIVATE CvCollector)
target_link_options(report_probe PRIVATE -municode)

# Planted as reg.exe where the collector must not take it from.
add_executable(planted_reg ${CMAKE_CURRENT_LIST_DIR}/fixtures/planted_reg.c)

# Resource-only libraries with version information in several languages.
foreach(languages en_ru de de_fr)
  add_library(version_${languages} SHARED ${CMAKE_CURRENT_LIST_DIR}/fixtures/version_${languages}.rc)
  set_target_properties(version_${languages} PROPERTIES PREFIX "" LINKER_LANGUAGE C)
  target_link_options(version_${languages} PRIVATE -nostdlib -Wl,-e,0)
endforeach()

# A driver installer library that throws part-way through the subsystems.
add_library(driver_installer_throws SHARED ${CMAKE_CURRENT_LIST_DIR}/fixtures/driver_installer_throws.cpp)
set_target_properties(driver_installer_throws PROPERTIES PREFIX "")

add_cv_test(test_inventory SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_inventory.cpp LIBS CvCollector)
add_cv_test(test_regexport SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_regexport.cpp LIBS CvCollector)
add_dependencies(test_regexport report_probe planted_reg CvGpe hold_file)
add_cv_test(test_regmask SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_regmask.cpp LIBS CvCollector)
add_cv_test(test_subsystems SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_subsystems.cpp LIBS CvCollector)
add_dependencies(test_subsystems report_probe CvDriverInstaller driver_installer_throws CvGpe)
add_cv_test(test_modules SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_modules.cpp LIBS CvCollector)
add_dependencies(test_modules version_en_ru version_de version_de_fr)
# They change keys under the services, uninstall and product keys, which the
# exports read.
set_tests_properties(test_inventory test_regexport test_subsystems PROPERTIES RESOURCE_LOCK cv_product_registry)

add_cv_script_test(e2e_report e2e_report.sh)
add_cv_script_test(e2e_mask e2e_mask.sh)
