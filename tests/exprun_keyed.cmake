# exprun's whole-file jobs (--group-by, --partition-by, --unique, formatnumber) against a Python
# reference, and every recipe of the "Whole-file jobs" section of docs/language.md.
find_program(EXP_PYTHON3 python3 REQUIRED)
add_test(NAME exprun_keyed
         COMMAND ${EXP_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/exprun_keyed.py --exprun $<TARGET_FILE:exprun>
                 --doc ${CMAKE_SOURCE_DIR}/docs/language.md)
set_tests_properties(exprun_keyed PROPERTIES TIMEOUT 600)
