# exprun's whole-file jobs (--group-by, --partition-by, --unique, formatnumber) against a Python
# reference. The guide's recipes run in language_doc_test.
find_program(EXP_PYTHON3 python3 REQUIRED)
add_test(NAME exprun_keyed
         COMMAND ${EXP_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/exprun_keyed.py --exprun $<TARGET_FILE:exprun>)
set_tests_properties(exprun_keyed PROPERTIES TIMEOUT 600)
