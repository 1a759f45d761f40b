# Differential test of the decimal core against python3's decimal module (tests/decimal_diff.py).
# The driver is built from the decimal sources alone, so it does not depend on the rest of the
# library. A larger campaign: DECIMAL_DIFF_CASES=1000000 ctest -R decimal_diff
file(GLOB EXP_DECIMAL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/support/decimal*.cpp)
add_executable(dec_oracle ${CMAKE_CURRENT_SOURCE_DIR}/tools/dec_oracle.cpp ${EXP_DECIMAL_SOURCES})
target_include_directories(dec_oracle PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src ${MPFR_INCLUDE})
target_compile_options(dec_oracle PRIVATE ${EXP_WARNINGS})
target_link_libraries(dec_oracle PRIVATE ${MPFR_LIB} ${GMP_LIB})

find_program(EXP_PYTHON3 python3 REQUIRED)
add_test(NAME decimal_diff
         COMMAND ${EXP_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/decimal_diff.py --oracle $<TARGET_FILE:dec_oracle>)
set_tests_properties(decimal_diff PROPERTIES TIMEOUT 900)
