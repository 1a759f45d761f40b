# Differential check of exprun's JSON-lines pass-through against python3's json module
# (tests/exprun_json_diff.py): every member a rule does not assign comes out as it went in.
find_program(EXP_PYTHON3 python3 REQUIRED)
add_test(NAME exprun_json_diff
         COMMAND ${EXP_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/exprun_json_diff.py --exprun $<TARGET_FILE:exprun>)
set_tests_properties(exprun_json_diff PROPERTIES TIMEOUT 300)
