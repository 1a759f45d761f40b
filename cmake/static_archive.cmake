# The static library as one relocatable object whose internal symbols are local.
#
# The library is compiled with hidden visibility: only the exported C functions (exp_*) have
# default visibility. Linking every object of the library into one relocatable object (ld -r)
# resolves the references between them; objcopy --localize-hidden then turns every hidden symbol
# into a local one (the objects are compiled with -fno-gnu-unique, since objcopy cannot localize
# symbols of the "unique" binding). A host that links the archive sees the exported functions and
# nothing else of the library's, exactly as with the shared library, so no name of its clashes.
# The object's section groups (COMDAT: one copy of each inline function or template instance per
# program) are removed as well: the linker would otherwise keep a host's copy of such a group and
# discard ours, leaving our now-local references pointing into a discarded section.
#
# Chosen over putting every source in a namespace: it covers every symbol (functions, variables,
# inline and template instances) at once, and leaves the sources as they are.
find_program(EXP_OBJCOPY NAMES ${CMAKE_OBJCOPY} objcopy REQUIRED)

# Defines static library `name` from the objects of object library `objects`.
function(exp_add_localized_static name objects)
  set(merged ${CMAKE_CURRENT_BINARY_DIR}/${name}.o)
  add_custom_command(OUTPUT ${merged}
    COMMAND ${CMAKE_LINKER} -r -o ${merged}.tmp $<TARGET_OBJECTS:${objects}>
    COMMAND ${EXP_OBJCOPY} --localize-hidden --remove-section=.group ${merged}.tmp ${merged}
    COMMAND ${CMAKE_COMMAND} -E remove ${merged}.tmp
    DEPENDS $<TARGET_OBJECTS:${objects}>
    COMMAND_EXPAND_LISTS
    COMMENT "Linking ${name}.o with the library's internal symbols made local"
    VERBATIM)
  set_source_files_properties(${merged} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  add_library(${name} STATIC ${merged})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
endfunction()
